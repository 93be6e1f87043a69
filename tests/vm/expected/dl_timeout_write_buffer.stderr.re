send_write_buffer: command timed out
send_io: .*

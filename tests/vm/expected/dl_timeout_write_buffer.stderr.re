send_write_buffer: .*
send_io: .*

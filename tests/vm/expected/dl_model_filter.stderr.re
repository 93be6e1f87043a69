send_io: .*

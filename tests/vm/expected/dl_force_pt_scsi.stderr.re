send_ata_passthrough: .*
send_io: .*

"""ubxconfig: configures a u-blox receiver of generation 6 to 10 over its serial port.

  cli        the command line: the parser, made from the table of commands, and main()
  commands   the table of commands (name, arguments, help, handler) and their handlers
  policy     what the receiver is (MON-VER) and how a change reaches it: legacy messages,
             configuration by key, or one with the other as a fall-back; saving
  transport  the serial line and the exchanges on it: send, wait for an ACK or an answer
  keys       configuration keys as the user names them, their values and layers
  codec      libs.pyubx2 and pyserial, loaded from the deployment root zq_tool finds
  errors     ConfigError: one line and one exit status
"""

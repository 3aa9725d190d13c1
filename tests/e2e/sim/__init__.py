"""Device simulators for the end-to-end tests and the demo: a serial barcode scanner of each
brand (scanner.py), a Symbol scanner speaking its packet protocol (ssi_scanner.py) and the
identification side of the ID card readers (card_reader.py), all on device.PortDevice."""

"""Device simulators for the end-to-end tests and the demo: a serial barcode scanner of each
brand (scanner.py) and the identification side of the ID card readers (card_reader.py)."""

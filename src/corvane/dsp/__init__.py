"""Signal processing: band-limited interpolation."""

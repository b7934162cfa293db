# Build-time scrambling of the pictures.

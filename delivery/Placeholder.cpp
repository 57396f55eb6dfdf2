// Replaced as the parser lands.

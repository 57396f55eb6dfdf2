// Replaced as the message model lands.

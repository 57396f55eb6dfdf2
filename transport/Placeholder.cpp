// Replaced as the socket layer lands.

#include "api/listen_socket.h"

#include <sys/socket.h>

void set_exclusive_listen_options(socket_t socket) {
  const int yes = 1;
  setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

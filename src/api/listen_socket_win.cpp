#include "api/listen_socket.h"

void set_exclusive_listen_options(socket_t socket) {
  const BOOL yes = TRUE;
  setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes);
}

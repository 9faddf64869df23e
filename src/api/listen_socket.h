#pragma once
// Options of the API's listening socket, the platform's way (listen_socket_posix.cpp,
// listen_socket_win.cpp). httplib's defaults let a second process bind the same port on Linux
// (SO_REUSEPORT), which would split the API between two miners without a word.

#include <httplib.h>

// The port stays this process's alone; on POSIX a restart may still bind it at once while old
// connections linger in TIME_WAIT.
void set_exclusive_listen_options(socket_t socket);

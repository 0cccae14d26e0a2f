// The one conversion of a NetAddress into the system's socket address, for the tool on
// each platform and for the simulator.
#pragma once

#include "lan/socket.h"

struct sockaddr_storage;

// Fills storage with the address and port; gives back the size of the part in use.
int ToSockaddr(const NetAddress& address, sockaddr_storage& storage);

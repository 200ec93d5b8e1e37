#pragma once

#include "net/AsyncSocket.h"

// The requester's outgoing chat connection.
class CChatSocket : public CAsyncSocket
{
};

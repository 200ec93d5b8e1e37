#include "chat/ChatSocket.h"

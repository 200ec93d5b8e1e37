#include "chat/ChatWindowFactory.h"

namespace {
IChatWindowFactory* g_pChatWindowFactory = nullptr;
}

IChatWindowFactory* GetChatWindowFactory()
{
    return g_pChatWindowFactory;
}

void SetChatWindowFactory(IChatWindowFactory* factory)
{
    g_pChatWindowFactory = factory;
}

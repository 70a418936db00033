// What every part of the agent process works with, made once in WinMain
// and handed to each: the pipe servers, the control window, the key
// generation and the confirm prompt all reach the same store through the
// same handler, so that no way in has rules of its own.
#ifndef GKEYAGENT_AGENTCONTEXT_H
#define GKEYAGENT_AGENTCONTEXT_H

#include "AgentOptions.h"
#include "AttachedWindows.h"
#include "KeyUseNotice.h"
#include "LanguageResources.h"
#include "RequestHandler.h"
#include "UserSecurity.h"

#include <atomic>

struct AgentContext {
    AgentContext(agentcore::KeyStore& keyStore, agentcore::RequestHandler& requestHandler,
                 const LanguageResources& languageTexts, const AgentOptions& agentOptions, UserSecurity& userSecurity)
        : store(keyStore), handler(requestHandler), texts(languageTexts), options(agentOptions), security(userSecurity) {}
    AgentContext(const AgentContext&) = delete;
    AgentContext& operator=(const AgentContext&) = delete;

    agentcore::KeyStore& store;
    agentcore::RequestHandler& handler;
    const LanguageResources texts;
    const AgentOptions options;
    UserSecurity& security;
    AttachedWindows windows;
    // A notice in the notification area on each key use nobody confirmed;
    // read by every client's thread, switched on the window's.
    std::atomic<bool> notifyKeyUse{false};
    KeyUseNotices keyUseNotices;
    // The notification icon's window (TrayWindow.h), once there: told of
    // every change of the lock and the keys.
    std::atomic<HWND> trayWindow{nullptr};
};

#endif

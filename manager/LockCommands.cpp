// Locking and unlocking the agent, and its passphrase. Lock and unlock go
// through the agent library and then tell the agent process; the passphrase
// goes to the agent process alone.
#include "AgentChannel.h"
#include "AgentPassphraseDialog.h"
#include "KeyManagerDialog.h"
#include "TextBuffer.h"
#include "UnlockPromptDialog.h"
#include "UserIdentity.h"
#include "resource.h"

#include <new>

namespace {

void announceLockChange()
{
    HWND agentWindow = findAgentWindow();
    if (agentWindow != NULL)
        SendMessageA(agentWindow, WM_AGENT_LOCK_CHANGED, 0, 0);
}

// Hands the payload to the agent and wipes it as soon as the agent is done
// with it, whatever it answered; the answer (0: refused).
LRESULT sendAndWipe(HWND agentWindow, HWND sender, AgentPassphrasePayload &payload)
{
    COPYDATASTRUCT message;
    message.dwData = COPYDATA_AGENT_PASSPHRASE;
    message.cbData = sizeof payload;
    message.lpData = &payload;
    LRESULT answer = SendMessageA(agentWindow, WM_COPYDATA, reinterpret_cast<WPARAM>(sender),
                                  reinterpret_cast<LPARAM>(&message));
    SecureZeroMemory(&payload, sizeof payload);
    return answer;
}

} // namespace

int KeyManagerDialog::onLockAgent()
{
    if (agent == NULL)
        return 0;
    if (agent->lock() == AGENT_E_LOCK) {
        showError(IDS_LOCK_FAILED);
        return 0;
    }
    announceLockChange();
    return 1;
}

int KeyManagerDialog::onUnlockAgent()
{
    if (agent == NULL)
        return 0;
    UnlockPromptDialog prompt(resourceModule, window);
    if (prompt.runModal() != IDOK)
        return 1;
    if (agent->unlock(prompt.passphrase) == AGENT_E_UNLOCK) {
        showError(IDS_UNLOCK_FAILED);
        return 0;
    }
    announceLockChange();
    return 1;
}

int KeyManagerDialog::onAgentPassphrase()
{
    AgentPassphraseDialog passphrases(resourceModule, window);
    // The window found now is the one told, even if the agent goes away
    // while the dialog is open.
    HWND agentWindow = findAgentWindow();
    if (agentWindow == NULL)
        return 0;

    INT_PTR result = passphrases.runModal();
    if (result == AGENT_RESET_CONFIRMED) {
        SendMessageA(agentWindow, WM_AGENT_RESET, 0, 0);
        PostQuitMessage(0);
        return 1;
    }
    if (result != IDOK)
        return 1;
    // The agent is found by its window's class, which any program on the
    // desktop may register: the passphrases go only to a window of this
    // user's own processes, asked right before they are sent. Another's
    // window is told nothing, and the user hears the agent's refusal.
    if (!windowOfCurrentUser(agentWindow)) {
        showError(IDS_PASSPHRASE_REFUSED);
        return 0;
    }

    // Without memory for the message the command ends as if cancelled.
    AgentPassphrasePayload *payload = new (std::nothrow) AgentPassphrasePayload();
    if (payload == NULL)
        return 1;
    copyText(payload->currentPassphrase, sizeof payload->currentPassphrase, passphrases.currentPassphrase);
    copyText(payload->newPassphrase, sizeof payload->newPassphrase, passphrases.newPassphrase);
    LRESULT answer = sendAndWipe(agentWindow, window, *payload);
    delete payload;
    if (answer == 0) {
        showError(IDS_PASSPHRASE_REFUSED);
        return 0;
    }
    return 1;
}

#include "ConfirmPrompt.h"

#include "AgentLog.h"
#include "AgentResources.h"
#include "UnverifiedClient.h"

#include <cstdio>
#include <memory>

namespace {

// Shared by the waiting caller and the dialog's thread: whichever ends
// last frees it.
struct Prompt {
    LanguageResources resources;
    ConfirmQuestion question;
    DWORD secondsLeft;
    volatile LONG answer = IDNO;
    volatile LONG abandoned = 0;
    HWND dialog = nullptr;
};

const UINT_PTR kCountdownTimer = 1;

void showCountdown(HWND dialog, const Prompt& prompt) {
    char format[128] = "";
    char text[160];
    UINT id = prompt.secondsLeft == 1 ? IDS_CONFIRM_COUNTDOWN_ONE : IDS_CONFIRM_COUNTDOWN;
    loadLanguageString(prompt.resources, id, format, sizeof format);
    std::snprintf(text, sizeof text, format, unsigned(prompt.secondsLeft));
    SetDlgItemTextA(dialog, IDC_CONFIRM_COUNTDOWN, text);
}

// The host by the name the key's destinations give it, else by its key;
// false, and the line hidden, for a connection never bound.
bool showHost(HWND dialog, const Prompt& prompt) {
    const agentcore::SignDestination& where = prompt.question.destination;
    if (where.host.empty() && where.hostKeyFingerprint.empty()) {
        ShowWindow(GetDlgItem(dialog, IDC_CONFIRM_HOST_LABEL), SW_HIDE);
        ShowWindow(GetDlgItem(dialog, IDC_CONFIRM_HOST), SW_HIDE);
        return false;
    }
    if (where.host.empty()) {
        char label[64] = "";
        loadLanguageString(prompt.resources, IDS_CONFIRM_HOST_KEY_LABEL, label, sizeof label);
        SetDlgItemTextA(dialog, IDC_CONFIRM_HOST_LABEL, label);
    }
    SetDlgItemTextA(dialog, IDC_CONFIRM_HOST, where.host.empty() ? where.hostKeyFingerprint.c_str() : where.host.c_str());
    return true;
}

// Through how many hosts the agent was forwarded, one in words of its own;
// false, and the line hidden, when it was not.
bool showForwarding(HWND dialog, const Prompt& prompt) {
    std::uint32_t hops = prompt.question.destination.forwardedHops;
    char format[128] = "";
    char text[160] = "";
    if (hops == 1) {
        loadLanguageString(prompt.resources, IDS_CONFIRM_FORWARDED_ONE, text, sizeof text);
    } else if (hops > 1) {
        loadLanguageString(prompt.resources, IDS_CONFIRM_FORWARDED, format, sizeof format);
        std::snprintf(text, sizeof text, format, unsigned(hops));
    }
    SetDlgItemTextA(dialog, IDC_CONFIRM_FORWARDED, text);
    ShowWindow(GetDlgItem(dialog, IDC_CONFIRM_FORWARDED), hops ? SW_SHOWNA : SW_HIDE);
    return hops > 0;
}

RECT placeOf(HWND dialog, HWND control) {
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// The rows of where the signature goes that have nothing to say give their
// room up: a line shown takes the first row, and what lies below the rows
// moves up, the dialog shorter by as much and still centred.
void closeEmptyRows(HWND dialog, bool hostShown, bool forwardingShown) {
    HWND forwarded = GetDlgItem(dialog, IDC_CONFIRM_FORWARDED);
    RECT first = placeOf(dialog, GetDlgItem(dialog, IDC_CONFIRM_HOST)), second = placeOf(dialog, forwarded);
    if (forwardingShown && !hostShown)
        SetWindowPos(forwarded, nullptr, second.left, first.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    int shift = (second.top - first.top) * (2 - int(hostShown) - int(forwardingShown));
    if (shift == 0) return;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        RECT r = placeOf(dialog, child);
        if (r.top >= second.bottom)
            SetWindowPos(child, nullptr, r.left, r.top - shift, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    RECT outer;
    GetWindowRect(dialog, &outer);
    SetWindowPos(dialog, nullptr, outer.left, outer.top + shift / 2, outer.right - outer.left,
                 outer.bottom - outer.top - shift, SWP_NOZORDER | SWP_NOACTIVATE);
}

void fillIn(HWND dialog, const Prompt& prompt) {
    const ConfirmQuestion& q = prompt.question;
    SetDlgItemTextA(dialog, IDC_CONFIRM_KEY_NAME, q.keyName.c_str());
    SetDlgItemTextA(dialog, IDC_CONFIRM_FINGERPRINT, q.fingerprint.c_str());
    SetDlgItemTextA(dialog, IDC_CONFIRM_PROGRAM, programText(prompt.resources, q).c_str());
    bool hostShown = showHost(dialog, prompt);
    bool forwardingShown = showForwarding(dialog, prompt);
    closeEmptyRows(dialog, hostShown, forwardingShown);
    SendDlgItemMessageA(dialog, IDC_CONFIRM_ICON, STM_SETICON, WPARAM(LoadIconA(nullptr, IDI_QUESTION)), 0);
    showCountdown(dialog, prompt);
}

void finish(HWND dialog, Prompt& prompt, LONG answer) {
    KillTimer(dialog, kCountdownTimer);
    InterlockedExchange(&prompt.answer, answer);
    EndDialog(dialog, answer);
}

INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    Prompt* prompt = reinterpret_cast<Prompt*>(GetWindowLongPtrA(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        // Only the dialog manager's own, the first: any program of the user
        // can send this message, with a pointer of its choosing.
        if (prompt) return FALSE;
        prompt = reinterpret_cast<Prompt*>(lParam);
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        prompt->dialog = dialog;
        fillIn(dialog, *prompt);
        SetTimer(dialog, kCountdownTimer, 1000, nullptr);
        SetForegroundWindow(dialog);
        // No is the default: a stray Enter must not hand out a signature.
        SetFocus(GetDlgItem(dialog, IDNO));
        return FALSE;
    case WM_TIMER:
        if (!prompt || wParam != kCountdownTimer) break;
        if (prompt->secondsLeft > 0) --prompt->secondsLeft;
        if (prompt->secondsLeft == 0 || prompt->abandoned) finish(dialog, *prompt, IDNO);
        else showCountdown(dialog, *prompt);
        return TRUE;
    case WM_COMMAND:
        if (!prompt) break;
        if (LOWORD(wParam) == IDYES) finish(dialog, *prompt, IDYES);
        else if (LOWORD(wParam) == IDNO || LOWORD(wParam) == IDCANCEL) finish(dialog, *prompt, IDNO);
        return TRUE;
    case WM_CLOSE:
        if (prompt) finish(dialog, *prompt, IDNO);
        return TRUE;
    }
    return FALSE;
}

DWORD WINAPI promptThread(void* param) {
    std::unique_ptr<std::shared_ptr<Prompt>> held(static_cast<std::shared_ptr<Prompt>*>(param));
    Prompt& prompt = **held;
    showLanguageDialog(prompt.resources, IDD_CONFIRM_KEY_USE, nullptr, dialogProc, reinterpret_cast<LPARAM>(&prompt));
    return 0;
}

}  // namespace

std::string programText(const LanguageResources& resources, const ConfirmQuestion& q) {
    char format[128] = "";
    char program[MAX_PATH + 128];
    if (!q.verified) {
        loadLanguageString(resources, IDS_CONFIRM_UNVERIFIED_PROGRAM, program, sizeof program);
    } else if (q.program.empty()) {
        loadLanguageString(resources, IDS_CONFIRM_UNKNOWN_PROGRAM, program, sizeof program);
    } else {
        loadLanguageString(resources, IDS_CONFIRM_PROGRAM, format, sizeof format);
        std::snprintf(program, sizeof program, format, q.program.c_str(), static_cast<unsigned long>(q.processId));
    }
    return program;
}

ConfirmQuestion keyUseQuestion(const agentcore::KeyInfo& key, const agentcore::SignDestination& destination,
                               std::uint64_t clientProcess) {
    ConfirmQuestion question;
    question.keyName = key.name;
    question.fingerprint = key.fingerprint;
    question.destination = destination;
    if (clientProcess == kUnverifiedClient) {
        question.verified = false;
    } else if (clientProcess) {
        question.program = programOfProcess(DWORD(clientProcess));
        question.processId = DWORD(clientProcess);
    }
    return question;
}

bool askToConfirm(const LanguageResources& resources, const ConfirmQuestion& question, DWORD timeoutMs) {
    auto prompt = std::make_shared<Prompt>();
    prompt->resources = resources;
    prompt->question = question;
    prompt->secondsLeft = (timeoutMs + 999) / 1000;
    auto* forThread = new std::shared_ptr<Prompt>(prompt);
    HANDLE thread = CreateThread(nullptr, 0, promptThread, forThread, 0, nullptr);
    if (!thread) {
        delete forThread;
        return false;
    }
    // The dialog counts down by itself; this wait is the bound should its
    // thread never get to show it.
    const DWORD grace = 2000;
    bool ended = WaitForSingleObject(thread, timeoutMs + grace) == WAIT_OBJECT_0;
    CloseHandle(thread);
    if (!ended) {
        InterlockedExchange(&prompt->abandoned, 1);
        return false;
    }
    return prompt->answer == IDYES;
}

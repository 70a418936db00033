#include "GenerateKeyDialog.h"

#include "WindowPlacement.h"
#include "resource.h"

namespace {

// The worker's word to its dialog that generateKey has returned; wParam
// carries the status. Posted, so that the worker never waits for the
// user-interface thread, which may itself be waiting for the refresh event.
const UINT WM_GENERATION_ENDED = WM_APP + 1;

const UINT32 LARGEST_KEY_BITS = 32768;
const UINT32 SMALLEST_KEY_BITS = 512;
const UINT32 SMALLEST_RESTRICTED_KEY_BITS = 1024;
const UINT DEFAULT_KEY_BITS = 1024;

// A terminated thread ends asynchronously; this is how long Cancel gives it
// before it lets the refresh event go regardless.
const DWORD WORKER_END_WAIT_MS = 5000;

const struct {
    UINT stringId;
    KeyTypeCode code;
} KEY_TYPES[] = {
    {IDS_KEY_TYPE_RSA, KEY_TYPE_RSA},
    {IDS_KEY_TYPE_ECDSA, KEY_TYPE_ECDSA},
    {IDS_KEY_TYPE_ED25519, KEY_TYPE_ED25519}, // left out in restricted mode
};

// Everything the user can change, in the order it is disabled.
const int INPUT_CONTROLS[] = {IDC_KEY_FILE_LABEL, IDC_KEY_FILE, IDC_KEY_TYPE_LABEL, IDC_KEY_TYPE,
                              IDC_KEY_SIZE_LABEL, IDC_KEY_SIZE, IDOK};

} // namespace

GenerateKeyDialog::GenerateKeyDialog(HMODULE module, HWND owner, INT32 restrictedFlag, IAgent *keyAgent,
                                     HANDLE event)
    : DialogBase(module, owner), agent(keyAgent), restricted(restrictedFlag), workerThread(NULL),
      cursor(GetCursor()), bits(0), keyType(0), refreshEvent(event), eventHeld(0)
{
    helpContextId = 1003;
    ZeroMemory(keyPath, sizeof keyPath);
}

GenerateKeyDialog::~GenerateKeyDialog()
{
    // The dialog was closed while the agent was still at work.
    stopWorker();
}

INT_PTR GenerateKeyDialog::runModal()
{
    return runModalTemplate(IDD_GENERATE_KEY);
}

INT_PTR GenerateKeyDialog::dialogProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    // Cancel keeps its own cursor, the one place that still answers at once.
    if (message == WM_SETCURSOR && reinterpret_cast<HWND>(wParam) != GetDlgItem(window, IDCANCEL)) {
        SetCursor(cursor);
        return 1;
    }
    if (message == WM_GENERATION_ENDED) {
        onGenerationEnded(static_cast<AgentStatus>(wParam));
        return 1;
    }
    return DialogBase::dialogProc(message, wParam, lParam);
}

int GenerateKeyDialog::onInitDialog(HWND)
{
    HWND typeList = GetDlgItem(window, IDC_KEY_TYPE);
    int entries = restricted ? 2 : 3;
    for (int i = 0; i < entries; ++i) {
        char name[32];
        loadString(KEY_TYPES[i].stringId, name, sizeof name);
        SendMessageA(typeList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
        // By position: the list is unsorted, so entry i is the one just added.
        SendMessageA(typeList, CB_SETITEMDATA, i, KEY_TYPES[i].code);
    }
    SendMessageA(typeList, CB_SETCURSEL, 0, 0);
    // The name is read into keyPath; a longer one would be cut silently and
    // the key written under a name the user never saw.
    SendDlgItemMessageA(window, IDC_KEY_FILE, EM_LIMITTEXT, sizeof keyPath - 1, 0);
    SetDlgItemInt(window, IDC_KEY_SIZE, DEFAULT_KEY_BITS, FALSE);
    centerWindow(window, parentWindow);
    return 1;
}

int GenerateKeyDialog::onCommand(unsigned id, HWND, unsigned)
{
    switch (id) {
    case IDOK:
        // Only the worker's end, Cancel or closing end the dialog.
        onOk();
        return 0;
    case IDCANCEL:
        stopWorker();
        EndDialog(window, IDCANCEL);
        return 1;
    case IDC_GENERATE_HELP:
        return onHelpButton();
    default:
        return 0;
    }
}

int GenerateKeyDialog::onOk()
{
    if (GetDlgItemTextA(window, IDC_KEY_FILE, keyPath, sizeof keyPath) == 0) {
        showError(IDS_KEY_FILE_MISSING);
        return 0;
    }
    // Text that is no number reads as 0 and fails the range like any other.
    bits = GetDlgItemInt(window, IDC_KEY_SIZE, NULL, FALSE);
    UINT32 smallest = restricted ? SMALLEST_RESTRICTED_KEY_BITS : SMALLEST_KEY_BITS;
    if (bits < smallest || bits > LARGEST_KEY_BITS) {
        showError(restricted ? IDS_KEY_SIZE_RANGE_RESTRICTED : IDS_KEY_SIZE_RANGE);
        return 0;
    }
    HWND typeList = GetDlgItem(window, IDC_KEY_TYPE);
    LRESULT selected = SendMessageA(typeList, CB_GETCURSEL, 0, 0);
    keyType = static_cast<KeyTypeCode>(SendMessageA(typeList, CB_GETITEMDATA, selected, 0));

    workerThread = CreateThread(NULL, 0, generationWorker, this, 0, NULL);
    if (workerThread == NULL) {
        showError(IDS_KEY_GENERATION_FAILED);
        EndDialog(window, 0);
        return 0;
    }
    cursor = LoadCursorA(NULL, IDC_WAIT);
    SetCursor(cursor);
    disableInputs();
    return 1;
}

void GenerateKeyDialog::disableInputs()
{
    // Disabling the control that has the focus leaves the dialog with none,
    // and then Esc no longer reaches it: Cancel takes the focus first.
    SendMessageA(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(window, IDCANCEL)), TRUE);
    for (int id : INPUT_CONTROLS)
        EnableWindow(GetDlgItem(window, id), FALSE);
}

DWORD WINAPI GenerateKeyDialog::generationWorker(void *parameter)
{
    GenerateKeyDialog *dialog = static_cast<GenerateKeyDialog *>(parameter);
    // Marked before the reset: a worker cut off in between costs at worst an
    // extra SetEvent, never an event left reset.
    dialog->eventHeld = 1;
    ResetEvent(dialog->refreshEvent);
    AgentStatus status = dialog->agent->generateKey(dialog->keyPath, dialog->keyType, dialog->bits);
    SetEvent(dialog->refreshEvent);
    dialog->eventHeld = 0;
    // The outcome, error box included, is the user-interface thread's to
    // show: a box owned by its window, opened from here, would wait for that
    // thread, which may have been waiting for the event until just now.
    PostMessageA(dialog->window, WM_GENERATION_ENDED, static_cast<WPARAM>(status), 0);
    return static_cast<DWORD>(status);
}

void GenerateKeyDialog::onGenerationEnded(AgentStatus status)
{
    // Cancel may have come first, with this message already queued.
    if (workerThread == NULL)
        return;
    // The worker has done with the dialog; its handle has no use left.
    CloseHandle(workerThread);
    workerThread = NULL;
    if (status == AGENT_E_GENERATE)
        showError(IDS_KEY_GENERATION_FAILED);
    EndDialog(window, 0);
}

void GenerateKeyDialog::stopWorker()
{
    if (workerThread == NULL)
        return;
    TerminateThread(workerThread, 0);
    // Only a worker that is gone can no longer reset the event once it has
    // been set here. One cut off between its reset and set would leave it
    // reset for good, and the key manager waits for it without a limit.
    DWORD ended = WaitForSingleObject(workerThread, WORKER_END_WAIT_MS);
    if (ended != WAIT_OBJECT_0 || eventHeld)
        SetEvent(refreshEvent);
    CloseHandle(workerThread);
    workerThread = NULL;
}

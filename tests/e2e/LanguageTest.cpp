// Each window of the program in each language: the installer's answer picks
// the module, and every dialog shows that module's texts, read back as
// Unicode (the program itself is ANSI, so the Japanese texts survive only in
// code page 932; those cases run in a Japanese locale and are skipped
// elsewhere).
#include <gtest/gtest.h>

#include "AgentProcess.h"
#include "AppFixture.h"
#include "resource.h"

using namespace e2e;

namespace {

struct LanguageTexts {
    const char *folder;
    UINT codePage; // 0: any
    const wchar_t *title, *exportKey, *keySettings, *passphrase, *about, *generateKey, *unlock, *cancel, *version;
};

const LanguageTexts LANGUAGES[] = {
    {"1033", 0, L"Glimmerpad Key Manager", L"Export Public Key", L"Key Settings", L"Agent Passphrase",
     L"About Glimmerpad Key Manager", L"Generate Key Pair", L"Unlock Agent", L"Cancel", L"Version "},
    {"1031", 0, L"Glimmerpad-Schlüsselverwaltung", L"Öffentlichen Schlüssel exportieren", L"Schlüsseleinstellungen",
     L"Agent-Passphrase", L"Info über Glimmerpad-Schlüsselverwaltung", L"Schlüsselpaar erzeugen", L"Agent entsperren",
     L"Abbrechen", L"Version "},
    {"1036", 0, L"Gestionnaire de clés Glimmerpad", L"Exporter la clé publique", L"Paramètres de la clé",
     L"Phrase secrète de l'agent", L"À propos du Gestionnaire de clés Glimmerpad", L"Générer une paire de clés",
     L"Déverrouiller l'agent", L"Annuler", L"Version "},
    {"1041", 932, L"Glimmerpad キー マネージャー", L"公開キーのエクスポート", L"キーの設定", L"エージェントのパスフレーズ",
     L"Glimmerpad キー マネージャーのバージョン情報", L"キー ペアの生成", L"エージェントのロック解除", L"キャンセル",
     L"バージョン "},
};

std::wstring wideText(HWND window)
{
    wchar_t text[512] = L"";
    GetWindowTextW(window, text, 512);
    return text;
}

std::string utf8(const std::wstring &text)
{
    char buffer[1024] = "";
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, buffer, sizeof buffer, NULL, NULL);
    return buffer;
}

class DialogsInEachLanguage : public AgentApp, public ::testing::WithParamInterface<LanguageTexts> {
protected:
    DialogsInEachLanguage() { languageFolder = GetParam().folder; }

    void SetUp() override
    {
        if (GetParam().codePage != 0 && GetACP() != GetParam().codePage)
            GTEST_SKIP() << "needs code page " << GetParam().codePage << "; this system uses " << GetACP();
        AgentApp::SetUp();
    }

    // Opens the dialog of `commandId` over the key manager, checks its
    // caption, lets `more` look inside, and closes it with `closeWith`.
    template <typename Inside>
    void expectDialog(int commandId, const wchar_t *caption, int closeWith, Inside more)
    {
        command(commandId);
        HWND dialog = app->waitForDialogOwnedBy(window);
        ASSERT_NE(dialog, (HWND)NULL) << "command " << commandId;
        EXPECT_EQ(utf8(wideText(dialog)), utf8(caption)) << "command " << commandId;
        more(dialog);
        PostMessageA(dialog, WM_COMMAND, closeWith, 0);
        ASSERT_TRUE(waitUntil(5000, [&] { return !IsWindow(dialog); })) << "command " << commandId;
    }

    void expectDialog(int commandId, const wchar_t *caption)
    {
        expectDialog(commandId, caption, IDCANCEL, [](HWND) {});
    }
};

TEST_P(DialogsInEachLanguage, EveryCommandDialogShowsTheLanguagesTexts)
{
    const LanguageTexts &texts = GetParam();
    AgentProcess agentProcess(sandbox->file("agent.log"));
    ASSERT_TRUE(agentProcess.start());
    startWith("key work-laptop|1|SHA256:9v1qVwQ2dQ3b0m4rHcJ+u3f0uGkq8kCw0i2fJ3yF1sE\n");
    EXPECT_EQ(utf8(wideText(window)), utf8(texts.title));
    clickRow(0);

    expectDialog(IDM_EXPORT_KEY, texts.exportKey, IDCANCEL, [&](HWND dialog) {
        EXPECT_EQ(utf8(wideText(GetDlgItem(dialog, IDCANCEL))), utf8(texts.cancel));
    });
    expectDialog(IDC_KEY_TEXT, texts.keySettings);
    expectDialog(IDC_AGENT_PASSPHRASE, texts.passphrase);
    expectDialog(IDC_GENERATE_KEY, texts.generateKey);
    expectDialog(IDM_ABOUT, texts.about, IDOK, [&](HWND dialog) {
        // The line is the module's own format with the version put in.
        std::wstring line = wideText(GetDlgItem(dialog, IDC_PRODUCT_VERSION));
        EXPECT_EQ(line.compare(0, wcslen(texts.version), texts.version), 0) << utf8(line);
        EXPECT_EQ(line.find(L'%'), std::wstring::npos) << utf8(line);
        EXPECT_GT(line.size(), wcslen(texts.version)) << utf8(line);
    });

    script("key work-laptop|1|SHA256:9v1qVwQ2dQ3b0m4rHcJ+u3f0uGkq8kCw0i2fJ3yF1sE\nlock 6\n");
    expectDialog(IDC_UNLOCK_AGENT, texts.unlock);
}

std::string languageName(const ::testing::TestParamInfo<LanguageTexts> &language)
{
    std::string name = std::string("lang") + language.param.folder;
    if (language.param.codePage == 932)
        name += "_CodePage932";
    return name;
}

INSTANTIATE_TEST_SUITE_P(Languages, DialogsInEachLanguage, ::testing::ValuesIn(LANGUAGES), languageName);

} // namespace

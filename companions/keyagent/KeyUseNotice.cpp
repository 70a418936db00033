#include "KeyUseNotice.h"

#include "AgentResources.h"

#include <cstdio>

namespace {

std::string loaded(const LanguageResources& texts, UINT id) {
    char text[256] = "";
    loadLanguageString(texts, id, text, sizeof text);
    return text;
}

// One %s filled in; the value may be as long as a path.
std::string formatted(const LanguageResources& texts, UINT id, const std::string& value) {
    std::string format = loaded(texts, id);
    std::string text(format.size() + value.size() + 1, '\0');
    int length = std::snprintf(&text[0], text.size(), format.c_str(), value.c_str());
    text.resize(length > 0 ? std::size_t(length) : 0);
    return text;
}

// The host by the name the key's destinations give it, else by its key;
// nothing for a connection never bound.
std::string hostLine(const LanguageResources& texts, const agentcore::SignDestination& where) {
    if (!where.host.empty()) return "\n" + formatted(texts, IDS_TRAY_NOTICE_HOST, where.host);
    if (!where.hostKeyFingerprint.empty())
        return "\n" + loaded(texts, IDS_CONFIRM_HOST_KEY_LABEL) + " " + where.hostKeyFingerprint;
    return std::string();
}

std::string forwardingLine(const LanguageResources& texts, std::uint32_t hops) {
    if (hops == 0) return std::string();
    if (hops == 1) return "\n" + loaded(texts, IDS_CONFIRM_FORWARDED_ONE);
    char text[256];
    std::snprintf(text, sizeof text, loaded(texts, IDS_CONFIRM_FORWARDED).c_str(), unsigned(hops));
    return std::string("\n") + text;
}

}  // namespace

KeyUseNotice describeKeyUse(const LanguageResources& texts, const ConfirmQuestion& question) {
    KeyUseNotice notice;
    notice.keyName = question.keyName;
    notice.title = formatted(texts, IDS_TRAY_NOTICE_TITLE, question.keyName);
    notice.text = formatted(texts, IDS_TRAY_NOTICE_PROGRAM, programText(texts, question)) +
                  hostLine(texts, question.destination) + forwardingLine(texts, question.destination.forwardedHops);
    return notice;
}

void KeyUseNotices::push(KeyUseNotice notice) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (waiting_.size() < kHeld) waiting_.push_back(std::move(notice));
}

bool KeyUseNotices::pop(KeyUseNotice& notice) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (waiting_.empty()) return false;
    notice = std::move(waiting_.front());
    waiting_.pop_front();
    return true;
}

// Translation of notifications and menu views into engine output calls.

#include "ironpost_engine_output.h"

namespace ironpost {

namespace {

// A console has no room for a long panel; the rest is cut to "...".
constexpr std::size_t kMaxConsoleMenuLines = 10;

EngineOutputCall ChatPrint(std::int32_t slot, std::string text) {
    EngineOutputCall call;
    call.kind = EngineOutputCallKind::ClientPrintf;
    call.slot = slot;
    call.text = std::move(text);
    call.numeric_value = kClientPrintChat;
    return call;
}

}  // namespace

std::vector<std::string> ConsoleMenuLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        start = end + 1;
        if (line.empty()) {
            continue;
        }
        if (lines.size() == kMaxConsoleMenuLines) {
            lines.emplace_back("...");
            break;
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

const char* EngineOutputCallKindName(EngineOutputCallKind kind) {
    switch (kind) {
        case EngineOutputCallKind::ClientPrintf:
            return "ClientPrintf";
        case EngineOutputCallKind::RegisterUserMessage:
            return "RegUserMsg";
        case EngineOutputCallKind::MessageBegin:
            return "MessageBegin";
        case EngineOutputCallKind::WriteByte:
            return "WriteByte";
        case EngineOutputCallKind::WriteChar:
            return "WriteChar";
        case EngineOutputCallKind::WriteShort:
            return "WriteShort";
        case EngineOutputCallKind::WriteString:
            return "WriteString";
        case EngineOutputCallKind::MessageEnd:
            return "MessageEnd";
        case EngineOutputCallKind::Motd:
            return "MOTD";
        case EngineOutputCallKind::ShowMenu:
            return "ShowMenu";
        default:
            return "ServerPrint";
    }
}

std::vector<EngineOutputCall> BuildMenuCalls(std::int32_t slot, std::uint16_t key_mask,
                                             std::int32_t display_seconds, bool needs_more,
                                             const std::string& text) {
    if (slot > 0) {
        EngineOutputCall call;
        call.kind = EngineOutputCallKind::ShowMenu;
        call.slot = slot;
        call.message_name = "ShowMenu";
        call.text = text;
        call.menu_key_mask = key_mask;
        call.menu_display_seconds = display_seconds;
        call.menu_needs_more = needs_more;
        return {call};
    }
    std::vector<std::string> lines = ConsoleMenuLines(text);
    if (lines.empty()) {
        lines.emplace_back("Iron-Post panel opened");
    }
    std::vector<EngineOutputCall> calls;
    for (const std::string& line : lines) {
        calls.push_back(ChatPrint(slot, "[Iron-Post] " + line));
    }
    return calls;
}

std::vector<EngineOutputCall> BuildEngineOutputCalls(const EngineNotification& notification) {
    switch (notification.channel) {
        case EngineNotificationChannel::Chat:
        case EngineNotificationChannel::Hud:
            return {ChatPrint(notification.slot, notification.message)};
        case EngineNotificationChannel::Menu:
            return BuildMenuCalls(notification.slot, notification.menu_key_mask,
                                  notification.menu_display_seconds, notification.menu_needs_more,
                                  notification.message);
        case EngineNotificationChannel::Motd: {
            EngineOutputCall call;
            call.kind = EngineOutputCallKind::Motd;
            call.slot = notification.slot;
            call.message_name = notification.title.empty() ? "Iron-Post" : notification.title;
            call.text = notification.message;
            return {call};
        }
        default: {
            EngineOutputCall call;
            call.kind = EngineOutputCallKind::ServerPrint;
            call.text = notification.message;
            return {call};
        }
    }
}

std::vector<EngineOutputCall> BuildEngineMenuOutputCalls(const EngineMenuView& view,
                                                         std::int32_t display_seconds) {
    return BuildMenuCalls(view.from_slot, EngineMenuKeyMask(view), display_seconds, false,
                          view.body);
}

EngineOutputBridge::EngineOutputBridge(EngineOutputSink& sink) : sink_(sink) {}

std::size_t EngineOutputBridge::PublishCalls(const std::vector<EngineOutputCall>& calls,
                                             bool menu) {
    if (menu) {
        last_menu_shown_ =
            calls.size() == 1 && calls.front().kind == EngineOutputCallKind::ShowMenu;
    }
    for (const EngineOutputCall& call : calls) {
        sink_.PublishEngineOutputCall(call);
    }
    return calls.size();
}

void EngineOutputBridge::PublishEngineNotification(const EngineNotification& notification) {
    PublishCalls(BuildEngineOutputCalls(notification),
                 notification.channel == EngineNotificationChannel::Menu);
}

std::size_t EngineOutputBridge::Publish(const std::vector<EngineNotification>& notifications) {
    std::size_t count = 0;
    for (const EngineNotification& notification : notifications) {
        count += PublishCalls(BuildEngineOutputCalls(notification),
                              notification.channel == EngineNotificationChannel::Menu);
    }
    return count;
}

std::size_t EngineOutputBridge::PublishMenuView(const EngineMenuView& view,
                                                std::int32_t display_seconds) {
    return PublishCalls(BuildEngineMenuOutputCalls(view, display_seconds), true);
}

}  // namespace ironpost

#pragma once

// Which primitive engine operations show a notification: each notification
// becomes a short list of EngineOutputCall records (print to a client or the
// server console, show a menu or a MOTD panel). The translation is pure; the
// process sink executes the calls against the engine, and EngineOutputBridge
// hands them to any EngineOutputSink. Main thread only.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ironpost_menu_bridge.h"
#include "ironpost_notification_bridge.h"

namespace ironpost {

enum class EngineOutputCallKind : std::int32_t {
    ClientPrintf = 0,
    ServerPrint = 1,
    RegisterUserMessage = 2,
    MessageBegin = 3,
    WriteByte = 4,
    WriteChar = 5,
    WriteShort = 6,
    WriteString = 7,
    MessageEnd = 8,
    Motd = 9,
    ShowMenu = 10,
};

// "ClientPrintf", "ServerPrint", "RegUserMsg", ... "MOTD", "ShowMenu";
// "ServerPrint" for anything else.
[[nodiscard]] const char* EngineOutputCallKindName(EngineOutputCallKind kind);

// The engine's print destination for the chat area.
inline constexpr std::int32_t kClientPrintChat = 2;

struct EngineOutputCall {
    EngineOutputCallKind kind = EngineOutputCallKind::ServerPrint;
    std::int32_t slot = 0;     // 0 for server-console output
    std::string message_name;  // "ShowMenu", or a MOTD's title
    std::string text;
    std::int32_t numeric_value = 0;  // ClientPrintf: the print destination
    std::uint16_t menu_key_mask = 0;
    std::int32_t menu_display_seconds = 10;
    bool menu_needs_more = false;
};

class EngineOutputSink {
  public:
    virtual ~EngineOutputSink() = default;
    virtual void PublishEngineOutputCall(const EngineOutputCall& call) = 0;
};

// The non-empty lines of a panel text (one trailing carriage return removed
// from each), at most ten, then "..." when another non-empty line follows.
[[nodiscard]] std::vector<std::string> ConsoleMenuLines(const std::string& text);

// The calls that show one notification.
[[nodiscard]] std::vector<EngineOutputCall> BuildEngineOutputCalls(
    const EngineNotification& notification);
// The calls that show a menu view to its player for `display_seconds`.
[[nodiscard]] std::vector<EngineOutputCall> BuildEngineMenuOutputCalls(
    const EngineMenuView& view, std::int32_t display_seconds);
// A menu for a player (slot above 0) is one ShowMenu call. A menu with no
// player to go to is printed line by line, "[Iron-Post] " first: at most ten
// non-empty lines, then "..." when more follow.
[[nodiscard]] std::vector<EngineOutputCall> BuildMenuCalls(std::int32_t slot,
                                                           std::uint16_t key_mask,
                                                           std::int32_t display_seconds,
                                                           bool needs_more,
                                                           const std::string& text);

// A notification sink that hands the calls of each notification to an
// output sink.
class EngineOutputBridge final : public EngineNotificationSink {
  public:
    // The sink must outlive the bridge.
    explicit EngineOutputBridge(EngineOutputSink& sink);

    void PublishEngineNotification(const EngineNotification& notification) override;
    // True when the last Menu notification went out as a ShowMenu call
    // rather than as console prints; false before the first.
    [[nodiscard]] bool LastMenuShown() const override { return last_menu_shown_; }
    // Publishes every notification in order; returns the number of calls.
    std::size_t Publish(const std::vector<EngineNotification>& notifications);
    // Publishes the calls of a menu view; returns their number.
    std::size_t PublishMenuView(const EngineMenuView& view, std::int32_t display_seconds);

  private:
    // Hands the calls to the sink; `menu` says they show a Menu notification.
    std::size_t PublishCalls(const std::vector<EngineOutputCall>& calls, bool menu);

    EngineOutputSink& sink_;
    bool last_menu_shown_ = false;
};

}  // namespace ironpost

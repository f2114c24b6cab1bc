#pragma once

// The engine side of what players and the operator see, and of the console
// variables: the notification sink that executes engine output calls against
// the captured engine functions, and the registry that hands console
// variables to the engine. Both are owned by the process object. Main thread
// only.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "ironpost_config.h"
#include "ironpost_notification_bridge.h"

namespace ironpost {

// Every console-variable name this load of the plugin handed to the engine
// or found registered by an earlier load, in order. Outlives attach and
// detach: the engine keeps registered variables for the life of the process.
[[nodiscard]] const std::vector<std::string>& EngineRegisteredCvarNames();

// Whether the variable's value must never leave the server (registered
// protected, so neither clients nor server queries see it).
[[nodiscard]] bool IsSecretCvarName(const std::string& name);

// The engine-backed console-variable registry.
class MetamodProcessCvarRegistry final : public CvarRegistry {
  public:
    // Records the definition (one per name, the last wins) and, when the
    // engine can take it, registers the name once per process.
    void RegisterCvar(const CvarDefinition& definition) override;
    [[nodiscard]] const std::vector<CvarDefinition>& RegisteredCvars() const { return cvars_; }
    // Forgets the recorded definitions; the engine keeps its variables.
    void Clear() { cvars_.clear(); }

    // The value the engine holds now (an operator may have changed it);
    // nothing when the engine does not know the name. Under the loader the
    // plugin's own struct is never updated, so values are read only here.
    [[nodiscard]] static std::optional<std::string> EngineValue(const std::string& name);

  private:
    std::vector<CvarDefinition> cvars_;
};

// How players are shown panels and lines.
enum class EngineUiMode : std::int32_t {
    Menu = 0,      // menus and MOTD panels as the game's own messages
    Chat = 1,      // everything as chat lines
    Disabled = 2,  // nothing to players; server prints still appear
};

// "menu" and "disabled"; every other word (and "chat") counts as chat.
[[nodiscard]] EngineUiMode ParseEngineUiMode(const std::string& word);

// Bounds that keep output within what the engine and the game accept.
inline constexpr std::size_t kNotificationRingCapacity = 256;
inline constexpr std::size_t kSayTextMaxBytes = 190;    // colour byte and line feed included
inline constexpr std::size_t kShowMenuPartBytes = 175;  // text in one ShowMenu message
inline constexpr std::size_t kShowMenuMaxBytes = 512;   // a whole menu
inline constexpr std::size_t kMotdPartBytes = 60;       // text in one MOTD message
inline constexpr std::size_t kMotdMaxBytes = 1536;      // a whole MOTD body
inline constexpr std::size_t kMotdBodyCutBytes = 1400;  // longer bodies are cut here
inline constexpr std::size_t kServerLineMaxBytes = 1024;

// The engine-backed notification sink: executes each notification's output
// calls against the engine, in the UI mode the process object sets.
class MetamodProcessNotificationSink final : public EngineNotificationSink {
  public:
    // Keeps a copy in the ring and shows the notification.
    void PublishEngineNotification(const EngineNotification& notification) override;
    // True only when the last Menu notification went out as a ShowMenu
    // message (not as chat lines, not dropped).
    [[nodiscard]] bool LastMenuShown() const override { return last_menu_shown_; }

    // The attached configuration's `engine_ui_mode`; "chat" while detached.
    void SetUiMode(const std::string& engine_ui_mode) {
        ui_mode_ = ParseEngineUiMode(engine_ui_mode);
    }
    [[nodiscard]] EngineUiMode UiMode() const { return ui_mode_; }

    // The last kNotificationRingCapacity notifications, oldest first.
    [[nodiscard]] const std::deque<EngineNotification>& Notifications() const {
        return notifications_;
    }
    // Every notification received since construction or Clear().
    [[nodiscard]] std::uint64_t NotificationCount() const { return notification_count_; }
    // Empties the ring and the count.
    void Clear();

  private:
    std::deque<EngineNotification> notifications_;
    std::uint64_t notification_count_ = 0;
    EngineUiMode ui_mode_ = EngineUiMode::Chat;
    bool last_menu_shown_ = false;
};

}  // namespace ironpost

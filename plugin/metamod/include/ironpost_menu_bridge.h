#pragma once

// Numbered on-screen menus: the engine-neutral menu records, the rendering of
// the token-transfer menu into a view, a view's key mask, the translation of
// a key press into a transfer selection, and the bridge that connects them to
// the session. The host keeps the table of open menus. Main thread only.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ironpost_plugin.h"
#include "ironpost_plugin_session.h"

namespace ironpost {

struct EngineMenuRenderOptions {
    std::string title;
    std::string currency_symbol;
    std::size_t max_recipient_options = 0;  // largest key given to a recipient (at most 9)
    std::uint32_t exit_key = 0;
    bool include_disabled_recipients = false;
    // Places the amount bounds are written with (FormatZoltAmount).
    std::uint32_t currency_decimals = 0;
    // The amount the player already chose (0: none); the menu then names it
    // in place of the bounds.
    std::uint64_t chosen_amount = 0;
};

struct EngineMenuOption {
    std::uint32_t key = 0;
    std::int32_t target_slot = 0;
    std::string label;
    bool selectable = false;
    std::string disabled_reason;
};

struct EngineMenuView {
    bool available = false;
    std::int32_t from_slot = 0;
    std::uint64_t min_amount = 0;
    std::uint64_t max_amount = 0;  // 0: no maximum
    std::uint32_t exit_key = 0;
    std::string title;
    std::string body;   // the full menu text as shown
    std::string error;  // why the menu is not available
    std::vector<EngineMenuOption> options;
};

struct EngineMenuOpenResult {
    bool accepted = false;
    std::string reason;
    std::optional<EngineMenuView> view;
};

struct EngineMenuAction {
    std::int32_t from_slot = 0;
    std::uint32_t key = 0;
    std::uint64_t amount = 0;
};

struct EngineMenuActionResult {
    bool accepted = false;
    std::string reason;
    std::optional<TransferMenuSelection> selection;
    std::optional<TransferMenuSelectionResult> transfer;
};

// The keys a view accepts: its selectable options and its exit key (bit k-1
// for key k = 1..9, bit 9 for key 0; larger keys set nothing).
[[nodiscard]] std::uint16_t EngineMenuKeyMask(const EngineMenuView& view);
// The view of a transfer menu: title, amount bounds, one numbered line per
// listed recipient, and the exit line.
[[nodiscard]] EngineMenuView RenderTransferMenu(const TransferMenu& menu,
                                                const EngineMenuRenderOptions& options);
// The options the host shows the transfer menu with: "Iron-Post Zolt",
// "ZOLT", eight recipients, exit key 0, disabled recipients listed.
[[nodiscard]] EngineMenuRenderOptions TransferMenuRenderOptions(
    std::uint32_t currency_decimals = 0);
// Checks a key press against the view it was made on; an accepted result
// carries the selection to submit. A zero amount is never a transfer.
[[nodiscard]] EngineMenuActionResult BuildTransferSelectionFromMenuAction(
    const EngineMenuView& view, const EngineMenuAction& action);

class EngineMenuBridge {
  public:
    // The session must outlive the bridge.
    explicit EngineMenuBridge(MetamodPluginSession& session);

    // The player's transfer menu, rendered with `options`.
    [[nodiscard]] EngineMenuOpenResult OpenZoltMenu(std::int32_t slot,
                                                    const EngineMenuRenderOptions& options) const;
    // Translates a key press on `view` and hands the selection to the session.
    [[nodiscard]] EngineMenuActionResult SubmitZoltMenuAction(const EngineMenuView& view,
                                                              const EngineMenuAction& action);

  private:
    MetamodPluginSession& session_;
};

}  // namespace ironpost

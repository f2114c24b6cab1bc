// Transfer-menu rendering, key masks, key-press translation and the menu bridge.

#include "ironpost_menu_bridge.h"

#include <algorithm>
#include <utility>

#include "ironpost_engine_bridge.h"

namespace ironpost {

namespace {

// A menu offers keys 1 to 9 and 0; no larger key can be pressed.
constexpr std::size_t kHighestMenuKey = 9;

std::uint16_t KeyBit(std::uint32_t key) {
    if (key == 0) {
        return 1U << 9;
    }
    return key <= kHighestMenuKey ? static_cast<std::uint16_t>(1U << (key - 1)) : 0;
}

}  // namespace

std::uint16_t EngineMenuKeyMask(const EngineMenuView& view) {
    std::uint16_t mask = 0;
    for (const EngineMenuOption& option : view.options) {
        if (option.selectable) {
            mask |= KeyBit(option.key);
        }
    }
    return static_cast<std::uint16_t>(mask | KeyBit(view.exit_key));
}

EngineMenuView RenderTransferMenu(const TransferMenu& menu,
                                  const EngineMenuRenderOptions& options) {
    EngineMenuView view;
    view.available = menu.available;
    view.from_slot = menu.from_slot;
    view.min_amount = menu.min_amount;
    view.max_amount = menu.max_amount;
    view.error = menu.error;
    view.exit_key = options.exit_key;
    view.title = options.title;
    const std::string close_line = std::to_string(options.exit_key) + ". Close";

    std::string body = options.title + "\n";
    if (!menu.available) {
        body += "Unavailable";
        if (!menu.error.empty()) {
            body += ": " + menu.error;
        }
        view.body = body + "\n" + close_line;
        return view;
    }
    const auto amount = [&](std::uint64_t value) {
        return FormatZoltAmount(value, options.currency_decimals) + " " + options.currency_symbol;
    };
    if (options.chosen_amount != 0) {
        body += "Send " + amount(options.chosen_amount) + " to:\n";
    } else {
        body += "Amount: min " + amount(menu.min_amount) +
                (menu.max_amount != 0 ? ", max " + amount(menu.max_amount) : ", no max") + "\n";
    }

    const std::size_t last_key = std::min(options.max_recipient_options, kHighestMenuKey);
    std::uint32_t key = 1;
    for (const TransferMenuRecipient& recipient : menu.recipients) {
        if (key > last_key) {
            break;
        }
        if (!recipient.selectable && !options.include_disabled_recipients) {
            continue;
        }
        view.options.push_back(EngineMenuOption{key, recipient.slot, recipient.label,
                                                recipient.selectable, recipient.disabled_reason});
        body += std::to_string(key) + ". " + recipient.label;
        if (!recipient.selectable && !recipient.disabled_reason.empty()) {
            body += " [" + recipient.disabled_reason + "]";
        }
        body += "\n";
        ++key;
    }
    if (view.options.empty()) {
        body += "No transfer recipients available\n";
    }
    view.body = body + close_line;
    return view;
}

EngineMenuRenderOptions TransferMenuRenderOptions(std::uint32_t currency_decimals) {
    return EngineMenuRenderOptions{"Iron-Post Zolt", "ZOLT", 8, 0, true, currency_decimals, 0};
}

EngineMenuActionResult BuildTransferSelectionFromMenuAction(const EngineMenuView& view,
                                                            const EngineMenuAction& action) {
    EngineMenuActionResult result;
    if (!view.available) {
        result.reason = view.error.empty() ? "menu_unavailable" : view.error;
        return result;
    }
    if (action.from_slot != view.from_slot) {
        result.reason = "menu_source_mismatch";
        return result;
    }
    if (action.key == view.exit_key) {
        result.reason = "menu_closed";
        return result;
    }
    // A transfer of nothing would be signed into the settlement for no
    // reason, even where the configured minimum is 0.
    if (action.amount == 0 || action.amount < view.min_amount) {
        result.reason = "below_minimum";
        return result;
    }
    if (view.max_amount != 0 && action.amount > view.max_amount) {
        result.reason = "above_maximum";
        return result;
    }
    const auto option = std::find_if(
        view.options.begin(), view.options.end(),
        [&](const EngineMenuOption& candidate) { return candidate.key == action.key; });
    if (option == view.options.end()) {
        result.reason = "unknown_menu_key";
        return result;
    }
    if (!option->selectable) {
        result.reason =
            option->disabled_reason.empty() ? "option_disabled" : option->disabled_reason;
        return result;
    }
    result.accepted = true;
    result.reason = "selection_built";
    result.selection = TransferMenuSelection{action.from_slot, option->target_slot, action.amount};
    return result;
}

EngineMenuBridge::EngineMenuBridge(MetamodPluginSession& session) : session_(session) {}

EngineMenuOpenResult EngineMenuBridge::OpenZoltMenu(std::int32_t slot,
                                                    const EngineMenuRenderOptions& options) const {
    EngineMenuOpenResult result;
    if (!session_.IsLoaded()) {
        result.reason = "plugin_session_not_loaded";
        return result;
    }
    EngineMenuView view = RenderTransferMenu(session_.OnZoltMenuOpened(slot), options);
    result.accepted = view.available;
    result.reason = view.available ? "menu_rendered" : view.error;
    result.view = std::move(view);
    return result;
}

EngineMenuActionResult EngineMenuBridge::SubmitZoltMenuAction(const EngineMenuView& view,
                                                              const EngineMenuAction& action) {
    EngineMenuActionResult result;
    if (!session_.IsLoaded()) {
        result.reason = "plugin_session_not_loaded";
        return result;
    }
    result = BuildTransferSelectionFromMenuAction(view, action);
    if (!result.selection) {
        return result;
    }
    result.transfer = session_.OnZoltMenuSelection(*result.selection);
    result.accepted = result.transfer->accepted;
    result.reason = result.transfer->reason;
    return result;
}

}  // namespace ironpost

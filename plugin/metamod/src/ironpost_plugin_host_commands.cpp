// The host's command handling and its table of open menus: number keys
// reach the menu the player saw, "/zolt <amount>" opens the transfer menu,
// and the player commands of the bridge are published as panels.

#include <algorithm>
#include <utility>

#include "ironpost_plugin_host.h"

namespace ironpost {

namespace {

// The display time the notification builders give menu views.
constexpr std::int32_t kMenuViewDisplaySeconds = 10;
constexpr std::uint64_t kHighestMenuKey = 9;

std::uint16_t KeyBit(std::uint64_t key) {
    return static_cast<std::uint16_t>(key == 0 ? 1U << 9 : 1U << (key - 1));
}

EngineMenuView PanelView(std::int32_t slot, std::string title, std::string body) {
    EngineMenuView view;
    view.available = true;
    view.from_slot = slot;
    view.title = std::move(title);
    view.body = std::move(body);
    return view;
}

}  // namespace

HostCommandResult MetamodPluginHost::HandleCommand(EngineCommandInput input) {
    input.now_ms = NowMs();
    if (!IsSayCommand(input) && NormalizeEngineCommand(input.command) == "menuselect") {
        return HandleMenuKey(input);
    }
    const std::vector<std::string> tokens = EngineCommandTokens(input);
    const std::string word = tokens.empty() ? std::string() : NormalizeEngineCommand(tokens[0]);
    const bool player = session_.IsLoaded() && input.slot > 0;
    if (player && word == "zolt" && tokens.size() > 1) {
        return OpenTransferMenu(input.slot, tokens[1]);
    }
    if (player && (word == "zolt" || word == "crypto")) {
        // The panel shows the cache; the session spaces refreshes out, so
        // holding the key cannot crowd the settlements off the backend.
        (void)session_.RefreshPlayerBalancesIfStale(input.slot, input.now_ms);
    }

    HostCommandResult result;
    result.command = events_.HandleCommand(input);
    const EngineCommandResult& command = result.command;
    if (!command.handled) {
        return result;
    }
    result.notifications_published = notifications_.EmitCommand(input.slot, command);
    if (command.panel && command.command == "crypto" && command.accepted) {
        const EngineCommandPanel& panel = *command.panel;
        EngineMenuView view = PanelView(input.slot, panel.title, panel.body);
        if (RememberShownMenu(input.slot, "crypto", view, panel.menu_key_mask,
                              panel.display_seconds)) {
            result.active_menu = std::move(view);
        }
    }
    return result;
}

HostCommandResult MetamodPluginHost::HandleMenuKey(const EngineCommandInput& input) {
    HostCommandResult result;
    EngineCommandResult& command = result.command;
    command.command = "menuselect";
    const std::optional<ActiveMenuState> menu = FindActiveMenuState(input.slot);
    if (!menu) {
        command.reason = "not_ironpost_command";
        return result;
    }
    const std::optional<std::uint64_t> key =
        input.args.empty() ? std::nullopt
                           : ParseEngineUnsignedAmount(NormalizeEngineCommand(input.args[0]));
    if (!key || *key > kHighestMenuKey || (menu->key_mask & KeyBit(*key)) == 0) {
        // Not a key our menu offered: another menu (radio, buy) replaced it
        // on the screen and the key is the game's.
        ClearActiveMenu(input.slot);
        command.reason = "menu_key_not_offered";
        return result;
    }
    command.handled = true;
    const auto pressed = static_cast<std::uint32_t>(*key);
    if (menu->kind == "zolt") {
        HostMenuActionResult action =
            SubmitZoltMenuAction(EngineMenuAction{input.slot, pressed, menu->amount});
        command.accepted = action.action.accepted;
        command.reason = action.action.reason;
        command.transfer = std::move(action.action.transfer);
        result.notifications_published = action.notifications_published;
        return result;
    }
    // The client hid the menu with the key press.
    ClearActiveMenu(input.slot);
    command.accepted = true;
    if (pressed == 0) {
        command.reason = "crypto_menu_closed";
        return result;
    }
    const std::optional<std::string> body =
        BuildCryptoInfoBody(session_.Runtime(), input.slot, pressed, CurrencyDecimals());
    if (!body) {
        command.accepted = false;
        command.reason = "unknown_menu_key";
        result.notifications_published = notifications_.EmitCommand(input.slot, command);
        return result;
    }
    command.reason = "crypto_menu_action_rendered";
    EngineMenuView view = PanelView(input.slot, "Iron-Post", *body);
    result.notifications_published =
        notifications_.EmitMenuOpen(input.slot, EngineMenuOpenResult{true, command.reason, view});
    if (RememberShownMenu(input.slot, "crypto", view, EngineMenuKeyMask(view),
                          kMenuViewDisplaySeconds)) {
        result.active_menu = std::move(view);
    }
    return result;
}

HostCommandResult MetamodPluginHost::OpenTransferMenu(std::int32_t slot,
                                                      const std::string& amount_text) {
    HostCommandResult result;
    EngineCommandResult& command = result.command;
    command.handled = true;
    command.command = "zolt";
    const std::optional<std::uint64_t> amount = ParseZoltAmount(amount_text, CurrencyDecimals());
    if (!amount || *amount == 0) {
        command.reason = "invalid_transfer_amount";
        result.notifications_published = notifications_.EmitCommand(slot, command);
        return result;
    }
    EngineMenuRenderOptions options = TransferMenuRenderOptions(CurrencyDecimals());
    options.chosen_amount = *amount;
    EngineMenuOpenResult open = menus_.OpenZoltMenu(slot, options);
    if (open.accepted && open.view) {
        // Refused now rather than after the player picked a recipient.
        const EngineMenuView& view = *open.view;
        if (*amount < view.min_amount || (view.max_amount != 0 && *amount > view.max_amount)) {
            open.accepted = false;
            open.reason = *amount < view.min_amount ? "below_minimum" : "above_maximum";
        }
    }
    command.accepted = open.accepted;
    command.reason = open.reason;
    result.notifications_published = notifications_.EmitMenuOpen(slot, open);
    if (open.accepted && RememberShownMenu(slot, "zolt", *open.view, EngineMenuKeyMask(*open.view),
                                           kMenuViewDisplaySeconds, *amount)) {
        result.active_menu = open.view;
    }
    return result;
}

HostMenuActionResult MetamodPluginHost::SubmitZoltMenuAction(const EngineMenuAction& action) {
    HostMenuActionResult result;
    const std::optional<EngineMenuView> view = FindActiveMenu(action.from_slot);
    if (!view) {
        result.action.reason = "no_active_menu";
    } else {
        result.action = menus_.SubmitZoltMenuAction(*view, action);
        // Whatever the answer, the client no longer shows the menu.
        ClearActiveMenu(action.from_slot);
    }
    result.notifications_published = notifications_.EmitMenuAction(action.from_slot, result.action);
    return result;
}

// ---------------------------------------------------------------------------
// The table of open menus

bool MetamodPluginHost::RememberShownMenu(std::int32_t slot, const std::string& kind,
                                          const EngineMenuView& view, std::uint16_t key_mask,
                                          std::int32_t display_seconds, std::uint64_t amount) {
    // A menu that went out as chat lines, or to the server console, takes
    // no key presses.
    if (slot <= 0 || !notifications_.LastMenuShown()) {
        return false;
    }
    const std::uint64_t expires_at_ms =
        display_seconds > 0 ? NowMs() + static_cast<std::uint64_t>(display_seconds) * 1000 : 0;
    StoreActiveMenu(ActiveMenuState{slot, kind, view, key_mask, expires_at_ms, amount});
    return true;
}

void MetamodPluginHost::StoreActiveMenu(ActiveMenuState state) {
    ClearActiveMenu(state.slot);
    active_menus_.push_back(std::move(state));
}

std::optional<MetamodPluginHost::ActiveMenuState> MetamodPluginHost::FindActiveMenuState(
    std::int32_t slot) const {
    const std::uint64_t now_ms = NowMs();
    const auto found =
        std::find_if(active_menus_.begin(), active_menus_.end(), [&](const ActiveMenuState& state) {
            return state.slot == slot && (state.expires_at_ms == 0 || now_ms < state.expires_at_ms);
        });
    if (found == active_menus_.end()) {
        return std::nullopt;
    }
    return *found;
}

std::optional<EngineMenuView> MetamodPluginHost::FindActiveMenu(std::int32_t slot) const {
    const std::optional<ActiveMenuState> state = FindActiveMenuState(slot);
    if (!state) {
        return std::nullopt;
    }
    return state->view;
}

bool MetamodPluginHost::HasActiveMenu(std::int32_t slot) const {
    return FindActiveMenuState(slot).has_value();
}

void MetamodPluginHost::ClearActiveMenu(std::int32_t slot) {
    active_menus_.erase(
        std::remove_if(active_menus_.begin(), active_menus_.end(),
                       [&](const ActiveMenuState& state) { return state.slot == slot; }),
        active_menus_.end());
}

}  // namespace ironpost

// Token transfers: the recipients a player may pick in the transfer menu,
// validation of a chosen recipient and amount, and queued transfer intents.
// No rule looks at a balance; the backend settles the transfer.

#include <optional>
#include <string>
#include <utility>

#include "ironpost_plugin.h"

namespace ironpost {

namespace {

TransferMenuSelectionResult Rejected(std::string reason) {
    TransferMenuSelectionResult result;
    result.accepted = false;
    result.reason = std::move(reason);
    return result;
}

std::string RecipientLabel(const ConnectedPlayer& player) {
    return "#" + std::to_string(player.slot) + " " + player.name + " (" + RoleName(player.role) +
           ")";
}

}  // namespace

std::string TransferTargetRejectionReason(const IronPostConfig& config,
                                          const std::optional<ConnectedPlayer>& source,
                                          const std::optional<ConnectedPlayer>& target) {
    // Callers look the players up first; a missing one cannot be a sender or
    // a recipient, whatever the other rules say.
    if (!source) {
        return "source_not_ready";
    }
    if (!target) {
        return "target_not_ready";
    }
    if (IsBotPlayer(*source) || IsBotPlayer(*target)) {
        return "bot_disabled";
    }
    if (source->slot == target->slot) {
        return "self_transfer";
    }
    if (IsPendingSteamId(source->steam_id) || IsPendingSteamId(target->steam_id)) {
        return "placeholder_identity";
    }
    // Two seats under one id (every player of a LAN server shares one) would
    // settle a transfer from an account to itself.
    if (source->steam_id == target->steam_id) {
        return "same_identity";
    }
    if (!IsPlayingRole(source->role)) {
        return "source_not_ready";
    }
    if (target->role == PlayerRole::Unassigned) {
        return "target_not_ready";
    }
    if (target->role == PlayerRole::Spectator) {
        return config.transfer_allow_spectators ? "" : "spectator_disabled";
    }
    if (target->role == source->role) {
        return config.transfer_allow_teammates ? "" : "teammate_disabled";
    }
    if (IsPlayingRole(target->role)) {
        return config.transfer_allow_opponents ? "" : "opponent_disabled";
    }
    return "target_not_ready";
}

TransferMenuSelectionResult ValidateTransferSelection(const IronPostConfig& config, bool loaded,
                                                      const std::optional<ConnectedPlayer>& source,
                                                      const std::optional<ConnectedPlayer>& target,
                                                      std::uint64_t amount) {
    if (!loaded) {
        return Rejected("runtime_not_loaded");
    }
    if (!config.transfer_enabled) {
        return Rejected("transfer_disabled");
    }
    if (!source) {
        return Rejected("source_not_ready");
    }
    if (!target) {
        return Rejected("target_not_ready");
    }
    if (amount < config.transfer_min_zolt) {
        return Rejected("below_minimum");
    }
    if (config.transfer_max_zolt != 0 && amount > config.transfer_max_zolt) {
        return Rejected("above_maximum");
    }
    // A minimum of 0 must not let an empty transfer into a signed settlement.
    if (amount == 0) {
        return Rejected("zero_amount");
    }
    std::string reason = TransferTargetRejectionReason(config, source, target);
    if (!reason.empty()) {
        return Rejected(std::move(reason));
    }
    TransferMenuSelectionResult result;
    result.accepted = true;
    result.reason = "accepted";
    return result;
}

TransferMenu PluginRuntime::BuildTransferMenu(std::int32_t from_slot) const {
    TransferMenu menu;
    menu.from_slot = from_slot;
    menu.min_amount = config_.transfer_min_zolt;
    menu.max_amount = config_.transfer_max_zolt;
    if (!loaded_) {
        menu.error = "runtime_not_loaded";
        return menu;
    }
    if (!config_.transfer_enabled) {
        menu.error = "transfer_disabled";
        return menu;
    }
    const ConnectedPlayer* sender = PlayerAt(from_slot);
    if (sender == nullptr || !IsPlayingRole(sender->role)) {
        menu.error = "source_not_ready";
        return menu;
    }
    if (IsPendingSteamId(sender->steam_id)) {
        menu.error = "placeholder_identity";
        return menu;
    }
    menu.available = true;
    const std::optional<ConnectedPlayer> source = *sender;
    for (const ConnectedPlayer& player : players_) {
        if (player.slot == from_slot || IsBotPlayer(player)) {
            continue;
        }
        TransferMenuRecipient recipient;
        recipient.slot = player.slot;
        recipient.name = player.name;
        recipient.steam_id = player.steam_id;
        recipient.role = player.role;
        recipient.label = RecipientLabel(player);
        recipient.disabled_reason = TransferTargetRejectionReason(config_, source, player);
        recipient.selectable = recipient.disabled_reason.empty();
        menu.recipients.push_back(std::move(recipient));
    }
    return menu;
}

std::optional<TransferIntent> PluginRuntime::QueueTransferIntent(std::int32_t from_slot,
                                                                 std::int32_t to_slot,
                                                                 std::uint64_t amount) {
    const std::optional<ConnectedPlayer> source = FindPlayer(from_slot);
    const std::optional<ConnectedPlayer> target = FindPlayer(to_slot);
    const TransferMenuSelectionResult validation =
        ValidateTransferSelection(config_, loaded_, source, target, amount);
    if (!validation.accepted) {
        NoteRefusal(validation.reason);
        return std::nullopt;
    }
    TransferIntent intent;
    intent.intent_id = next_transfer_intent_id_++;
    intent.from_slot = from_slot;
    intent.to_slot = to_slot;
    intent.from_steam_id = source->steam_id;
    intent.to_steam_id = target->steam_id;
    intent.amount = amount;
    intent.target_role = target->role;
    // The nonce names the intent, so it stays unique for the whole load even
    // though the pending list is emptied every round.
    intent.menu_nonce = "menu-" + std::to_string(intent.intent_id);
    pending_transfers_.push_back(intent);
    return intent;
}

TransferMenuSelectionResult PluginRuntime::SubmitTransferMenuSelection(
    const TransferMenuSelection& selection) {
    TransferMenuSelectionResult validation =
        ValidateTransferSelection(config_, loaded_, FindPlayer(selection.from_slot),
                                  FindPlayer(selection.to_slot), selection.amount);
    if (!validation.accepted) {
        NoteRefusal(validation.reason);
        return validation;
    }
    TransferMenuSelectionResult result;
    result.intent = QueueTransferIntent(selection.from_slot, selection.to_slot, selection.amount);
    result.accepted = result.intent.has_value();
    result.reason = result.accepted ? "queued" : "queue_failed";
    return result;
}

std::vector<TransferIntent> PluginRuntime::PendingTransfers() const {
    return pending_transfers_;
}

void PluginRuntime::ClearPendingTransfers() {
    pending_transfers_.clear();
}

}  // namespace ironpost

#pragma once

// Shared set-up for the host and runtime tests: a notification sink that
// records what players and the operator would see, and a configuration with
// the alpha team policy off so that frame-tick reasons stay plain.

#include <string>
#include <vector>

#include "ironpost_notification_bridge.h"
#include "scripted_http_client.h"

namespace ironpost::session_test {

class RecordingSink final : public EngineNotificationSink {
  public:
    void PublishEngineNotification(const EngineNotification& notification) override {
        published.push_back(notification);
    }
    [[nodiscard]] bool LastMenuShown() const override { return menu_shown; }
    // The messages published since the last call, oldest first.
    Lines Take() {
        Lines messages;
        for (const EngineNotification& notification : published) {
            messages.push_back(notification.message);
        }
        published.clear();
        return messages;
    }
    std::vector<EngineNotification> published;
    bool menu_shown = true;
};

inline std::string WriteHostConfig(const TempDir& dir, const std::string& extra = "") {
    dir.Write("server.key", std::string(kServerKey) + "\n");
    return dir.Write("ironpost.cfg", "ironpost_server_key_file \"" + dir.Path("server.key") +
                                         "\"\nironpost_backend_url \"http://127.0.0.1:9\"\n"
                                         "ironpost_server_id srv-1\n"
                                         "ironpost_alpha_team_policy_enabled 0\n" +
                                         extra);
}

// Answers every settlement post and status poll with `status`, echoing the
// request id, and every balance request with 503.
inline BackendHttpResponse AnswerSettlements(const BackendHttpPostRequest& request,
                                             const std::string& status) {
    if (PostedTo(request, "/v1/plugin/player-balances")) {
        return BackendHttpResponse{503, RejectedReplyBody(503, "busy"), ""};
    }
    return BackendHttpResponse{200, SettlementReplyBody(RequestId(request), status), ""};
}

}  // namespace ironpost::session_test

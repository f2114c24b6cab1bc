// A stand-in Metamod-P plugin for the simulator's tests. It records, as
// text, every call the loader and the engine make into it together with what
// it reads back from the engine at that moment, and after a round end it
// posts one settlement from a thread of its own, as the real plugin's
// worker does, to the backend URL in the configuration the simulator wrote.

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ironpost_platform_metamod.h"

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

enginefuncs_t* g_engine = nullptr;
globalvars_t* g_globals = nullptr;
meta_globals_t* g_meta = nullptr;
plugin_info_t g_info = {"5:13", "stand-in", "1",        "today",   "tests",
                        "",     "STANDIN",  PT_STARTUP, PT_ANYTIME};
std::vector<std::string> g_events;
std::string g_joined;
float g_last_time = 0;
long g_frames = 0;
std::thread g_poster;
std::atomic<bool> g_posted{false};
std::string g_answer;
long g_posted_at_frame = -1;

void Event(const std::string& text) {
    g_events.push_back(text);
}

void Ignored() {
    if (g_meta != nullptr) {
        g_meta->mres = MRES_IGNORED;
    }
}

int Slot(const edict_t* edict) {
    return g_engine->pfnIndexOfEdict(edict);
}

std::string Who(edict_t* edict) {
    const char* auth = g_engine->pfnGetPlayerAuthId(edict);
    return "slot=" + std::to_string(Slot(edict)) +
           " uid=" + std::to_string(g_engine->pfnGetPlayerUserId(edict)) +
           " auth=" + (auth != nullptr ? auth : "(null)") +
           " fake=" + ((edict->v.flags & FL_FAKECLIENT) != 0 ? "1" : "0");
}

// The backend URL the simulator put in the configuration it wrote.
std::string BackendUrl() {
    char dir[4096] = {};
    g_engine->pfnGetGameDir(dir);
    std::ifstream config(std::string(dir) + "/addons/ironpost/ironpost.cfg");
    std::string line;
    std::string url;
    while (std::getline(config, line)) {
        if (line.rfind("ironpost_backend_url \"", 0) == 0) {
            url = line.substr(22, line.find('"', 22) - 22);
        }
    }
    return url;
}

std::string Post(const std::string& url, const std::string& path, const std::string& body) {
    const std::size_t host_start = url.find("//") + 2;
    const std::size_t colon = url.find(':', host_start);
    const std::string port = url.substr(colon + 1, url.find('/', colon) - colon - 1);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(url.substr(host_start, colon - host_start).c_str(), port.c_str(), &hints,
                    &found) != 0) {
        return "unresolved";
    }
    const int fd = socket(found->ai_family, SOCK_STREAM, 0);
    const bool connected = fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) == 0;
    freeaddrinfo(found);
    if (!connected) {
        close(fd);
        return "unreachable";
    }
    const std::string request = "POST " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" +
                                "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                                body;
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = recv(fd, buffer, sizeof(buffer), 0)) > 0) {
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return answer.substr(0, answer.find("\r\n"));
}

void PostSettlement() {
    const std::string body =
        "{\"payload\":{\"requestId\":\"standin-1\",\"draft\":{\"roundNumber\":1,\"rewardEntries\":["
        "{\"slot\":2,\"steamId\":\"STEAM_0:1:1001\",\"kills\":1,\"validDamage\":0,\"rewardZolt\":"
        "\"100\"},{\"slot\":1,\"steamId\":\"STEAM_0:0:999\",\"kills\":1,\"validDamage\":0,"
        "\"rewardZolt\":\"100\"}]}}}";
    g_posted_at_frame = g_frames;
    const std::string url = BackendUrl();
    g_poster = std::thread([url, body] {
        g_answer = Post(url, "/v1/plugin/settlements", body);
        g_posted = true;
    });
}

}  // namespace

STANDIN_EXPORT const char* standin_events() {
    g_joined.clear();
    for (const std::string& event : g_events) {
        g_joined += event + "\n";
    }
    return g_joined.c_str();
}

STANDIN_EXPORT const char* ironpost_metamod_sdk_last_weapon_purchase_reason() {
    return "paid_spend";
}

STANDIN_EXPORT void IronpostMetamodWeaponPurchase(int slot, const char* weapon, std::uint64_t cost,
                                                  unsigned round) {
    Event("buy slot=" + std::to_string(slot) + " " + weapon + " " + std::to_string(cost) +
          " round=" + std::to_string(round));
}

STANDIN_EXPORT void Meta_Init() {
    Event("Meta_Init");
}

STANDIN_EXPORT void GiveFnptrsToDll(enginefuncs_t* engine, globalvars_t* globals) {
    g_engine = engine;
    g_globals = globals;
    Event("GiveFnptrsToDll");
}

STANDIN_EXPORT int Meta_Query(const char* version, plugin_info_t** info, mutil_funcs_t*) {
    *info = &g_info;
    Event(std::string("Meta_Query ") + version);
    return 1;
}

namespace {

int ClientConnect(edict_t* edict, const char* name, const char* address, char* reject) {
    Event("connect " + Who(edict) + " name=" + name + " address=" + address);
    if (std::strncmp(name, "Refuse", 6) == 0) {
        std::strcpy(reject, "refused by the stand-in");
        g_meta->mres = MRES_SUPERCEDE;
        return 0;
    }
    if (std::strcmp(name, "NoResult") != 0) {
        Ignored();
    }
    return 1;
}

void ClientDisconnect(edict_t* edict) {
    Event("disconnect " + Who(edict));
    Ignored();
}

void ClientPutInServer(edict_t* edict) {
    Event("putinserver " + Who(edict));
    Ignored();
}

void ClientCommand(edict_t* edict) {
    std::string argv;
    for (int i = 0; i < g_engine->pfnCmd_Argc(); ++i) {
        argv += (i > 0 ? "|" : "") + std::string(g_engine->pfnCmd_Argv(i));
    }
    const char* args = g_engine->pfnCmd_Args();
    Event("command " + Who(edict) + " argv=" + argv +
          " args=" + (args != nullptr ? args : "(null)"));
    Ignored();
}

void ServerActivate(edict_t*, int, int max_clients) {
    Event("activate max=" + std::to_string(max_clients) +
          " time=" + std::to_string(g_globals->time));
    Ignored();
}

void ServerDeactivate() {
    Event("deactivate");
    Ignored();
}

void StartFrame() {
    ++g_frames;
    if (g_globals->time < g_last_time) {
        Event("time restart at frame " + std::to_string(g_frames));
    }
    g_last_time = g_globals->time;
    if (g_posted.exchange(false)) {
        g_poster.join();
        Event("answer after " + std::to_string(g_frames - g_posted_at_frame) +
              " frame(s): " + g_answer);
    }
    Ignored();
}

void GameShutdown() {
    Event("shutdown");
    Ignored();
}

void AlertMessage(ALERT_TYPE type, const char* format, ...) {
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof(line), format, arguments);
    va_end(arguments);
    std::string text;
    for (const char* at = line; *at != '\0'; ++at) {
        text += *at == '\n' ? std::string("\\n") : std::string(1, *at);
    }
    std::string event = "log type=" + std::to_string(type) + " format=" + format +
                        " time=" + std::to_string(static_cast<int>(g_globals->time * 1000)) +
                        " text=" + text;
    if (std::strstr(line, "\" disconnected") != nullptr) {
        // The edict must still be there while the game logs the line.
        for (int slot = 1; slot <= g_globals->maxClients; ++slot) {
            edict_t* edict = g_engine->pfnPEntityOfEntIndex(slot);
            if (edict != nullptr && edict->pvPrivateData != nullptr &&
                std::strstr(
                    line,
                    ("<" + std::to_string(g_engine->pfnGetPlayerUserId(edict)) + "><").c_str()) !=
                    nullptr) {
                event += " (still in slot " + std::to_string(slot) + ")";
            }
        }
    }
    Event(event);
    if (std::strstr(line, "World triggered \"Round_End\"") != nullptr && !g_poster.joinable()) {
        PostSettlement();
    }
    Ignored();
}

int GetEntityAPI2(DLL_FUNCTIONS* table, int* version) {
    Event("GetEntityAPI2 version=" + std::to_string(*version));
    table->pfnClientConnect = &ClientConnect;
    table->pfnClientDisconnect = &ClientDisconnect;
    table->pfnClientPutInServer = &ClientPutInServer;
    table->pfnClientCommand = &ClientCommand;
    table->pfnServerActivate = &ServerActivate;
    table->pfnServerDeactivate = &ServerDeactivate;
    table->pfnStartFrame = &StartFrame;
    return 1;
}

int GetNewDLLFunctions(NEW_DLL_FUNCTIONS* table, int* version) {
    Event("GetNewDLLFunctions version=" + std::to_string(*version));
    table->pfnGameShutdown = &GameShutdown;
    return 1;
}

int GetEngineFunctions(enginefuncs_t* table, int* version) {
    Event("GetEngineFunctions version=" + std::to_string(*version));
    table->pfnAlertMessage = &AlertMessage;
    return 1;
}

}  // namespace

STANDIN_EXPORT int Meta_Attach(PLUG_LOADTIME now, META_FUNCTIONS* table, meta_globals_t* globals,
                               gamedll_funcs_t*) {
    g_meta = globals;
    Event("Meta_Attach now=" + std::to_string(now));
    table->pfnGetEntityAPI2 = &GetEntityAPI2;
    table->pfnGetNewDLLFunctions = &GetNewDLLFunctions;
    table->pfnGetEngineFunctions = &GetEngineFunctions;
    return 1;
}

STANDIN_EXPORT int Meta_Detach(PLUG_LOADTIME, PL_UNLOAD_REASON reason) {
    if (g_poster.joinable()) {
        g_poster.join();
    }
    Event("Meta_Detach reason=" + std::to_string(reason));
    return 1;
}

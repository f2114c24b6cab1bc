#pragma once

// Our own binary-compatible declarations of the few Half-Life engine records
// the plugin touches: the engine function table, the game-DLL function tables,
// the engine globals, edicts with their entity variables, console variables
// and the small enums and constants that travel with them. Written from the
// records' member order and sizes on Linux i386; every member the plugin uses
// is checked below, so a wrong slot fails the i386 build.
//
// Only the engine layer sees this file; the engine-neutral core must not.

#include <cstddef>
#include <cstdint>

typedef int qboolean;
typedef unsigned int string_t;  // offset from globalvars_t::pStringBase
typedef float vec3_t[3];
typedef unsigned int CRC32_t;

struct edict_t;
struct entvars_t;
struct cvar_t;
struct TraceResult;
struct KeyValueData;
struct SAVERESTOREDATA;
struct TYPEDESCRIPTION;
struct customization_t;
struct playermove_s;
struct clientdata_s;
struct entity_state_s;
struct weapon_data_s;
struct usercmd_s;
struct netadr_s;
struct delta_s;
struct sequenceEntry_s;
struct sentenceEntry_s;

constexpr int ENGINE_INTERFACE_VERSION = 138;
constexpr int INTERFACE_VERSION = 140;
constexpr int NEW_DLL_FUNCTIONS_VERSION = 1;

enum ALERT_TYPE { at_notice = 0, at_console, at_aiconsole, at_warning, at_error, at_logged };
enum PRINT_TYPE { print_console = 0, print_center, print_chat };
enum FORCE_TYPE {
    force_exactfile = 0,
    force_model_samebounds,
    force_model_specifybounds,
    force_model_specifybounds_if_avail
};

// Destinations of pfnMessageBegin.
enum MESSAGE_DEST {
    MSG_BROADCAST = 0,
    MSG_ONE = 1,
    MSG_ALL = 2,
    MSG_INIT = 3,
    MSG_PVS = 4,
    MSG_PAS = 5,
    MSG_PVS_R = 6,
    MSG_PAS_R = 7,
    MSG_ONE_UNRELIABLE = 8,
    MSG_SPEC = 9
};

// entvars_t::flags bits.
constexpr int FL_CLIENT = 1 << 3;
constexpr int FL_FAKECLIENT = 1 << 13;
constexpr int FL_PROXY = 1 << 20;
constexpr int FL_SPECTATOR = 1 << 26;
constexpr unsigned int FL_DORMANT = 1u << 31;

// A user message carries at most this many payload bytes.
constexpr int MAX_USER_MSG_DATA = 192;

// The engine function table: 158 slots, index 0 .. 157. Later engines add a
// 159th slot that the loaders do not allocate; it must never be declared.
struct enginefuncs_t {
    int (*pfnPrecacheModel)(const char*);                                                // 0
    int (*pfnPrecacheSound)(const char*);                                                // 1
    void (*pfnSetModel)(edict_t*, const char*);                                          // 2
    int (*pfnModelIndex)(const char*);                                                   // 3
    int (*pfnModelFrames)(int);                                                          // 4
    void (*pfnSetSize)(edict_t*, const float*, const float*);                            // 5
    void (*pfnChangeLevel)(const char*, const char*);                                    // 6
    void (*pfnGetSpawnParms)(edict_t*);                                                  // 7
    void (*pfnSaveSpawnParms)(edict_t*);                                                 // 8
    float (*pfnVecToYaw)(const float*);                                                  // 9
    void (*pfnVecToAngles)(const float*, float*);                                        // 10
    void (*pfnMoveToOrigin)(edict_t*, const float*, float, int);                         // 11
    void (*pfnChangeYaw)(edict_t*);                                                      // 12
    void (*pfnChangePitch)(edict_t*);                                                    // 13
    edict_t* (*pfnFindEntityByString)(edict_t*, const char*, const char*);               // 14
    int (*pfnGetEntityIllum)(edict_t*);                                                  // 15
    edict_t* (*pfnFindEntityInSphere)(edict_t*, const float*, float);                    // 16
    edict_t* (*pfnFindClientInPVS)(edict_t*);                                            // 17
    edict_t* (*pfnEntitiesInPVS)(edict_t*);                                              // 18
    void (*pfnMakeVectors)(const float*);                                                // 19
    void (*pfnAngleVectors)(const float*, float*, float*, float*);                       // 20
    edict_t* (*pfnCreateEntity)();                                                       // 21
    void (*pfnRemoveEntity)(edict_t*);                                                   // 22
    edict_t* (*pfnCreateNamedEntity)(int);                                               // 23
    void (*pfnMakeStatic)(edict_t*);                                                     // 24
    int (*pfnEntIsOnFloor)(edict_t*);                                                    // 25
    int (*pfnDropToFloor)(edict_t*);                                                     // 26
    int (*pfnWalkMove)(edict_t*, float, float, int);                                     // 27
    void (*pfnSetOrigin)(edict_t*, const float*);                                        // 28
    void (*pfnEmitSound)(edict_t*, int, const char*, float, float, int, int);            // 29
    void (*pfnEmitAmbientSound)(edict_t*, float*, const char*, float, float, int, int);  // 30
    void (*pfnTraceLine)(const float*, const float*, int, edict_t*, TraceResult*);       // 31
    void (*pfnTraceToss)(edict_t*, edict_t*, TraceResult*);                              // 32
    int (*pfnTraceMonsterHull)(edict_t*, const float*, const float*, int, edict_t*,
                               TraceResult*);                                            // 33
    void (*pfnTraceHull)(const float*, const float*, int, int, edict_t*, TraceResult*);  // 34
    void (*pfnTraceModel)(const float*, const float*, int, edict_t*, TraceResult*);      // 35
    const char* (*pfnTraceTexture)(edict_t*, const float*, const float*);                // 36
    void (*pfnTraceSphere)(const float*, const float*, int, float, edict_t*,
                           TraceResult*);                  // 37
    void (*pfnGetAimVector)(edict_t*, float, float*);      // 38
    void (*pfnServerCommand)(const char*);                 // 39: text must end in '\n' or ';'
    void (*pfnServerExecute)();                            // 40
    void (*pfnClientCommand)(edict_t*, const char*, ...);  // 41
    void (*pfnParticleEffect)(const float*, const float*, float, float);            // 42
    void (*pfnLightStyle)(int, const char*);                                        // 43
    int (*pfnDecalIndex)(const char*);                                              // 44
    int (*pfnPointContents)(const float*);                                          // 45
    void (*pfnMessageBegin)(int dest, int type, const float* origin, edict_t* to);  // 46
    void (*pfnMessageEnd)();                                                        // 47
    void (*pfnWriteByte)(int);                                                      // 48
    void (*pfnWriteChar)(int);                                                      // 49
    void (*pfnWriteShort)(int);                                                     // 50
    void (*pfnWriteLong)(int);                                                      // 51
    void (*pfnWriteAngle)(float);                                                   // 52
    void (*pfnWriteCoord)(float);                                                   // 53
    void (*pfnWriteString)(const char*);                                            // 54
    void (*pfnWriteEntity)(int);                                                    // 55
    void (*pfnCVarRegister)(cvar_t*);                                               // 56
    float (*pfnCVarGetFloat)(const char*);                                          // 57
    const char* (*pfnCVarGetString)(const char*);                                   // 58
    void (*pfnCVarSetFloat)(const char*, float);                                    // 59
    void (*pfnCVarSetString)(const char*, const char*);                             // 60
    void (*pfnAlertMessage)(ALERT_TYPE, const char* format,
                            ...);                       // 61: never pass player text as format
    void (*pfnEngineFprintf)(void*, const char*, ...);  // 62
    void* (*pfnPvAllocEntPrivateData)(edict_t*, std::int32_t);        // 63
    void* (*pfnPvEntPrivateData)(edict_t*);                           // 64
    void (*pfnFreeEntPrivateData)(edict_t*);                          // 65
    const char* (*pfnSzFromIndex)(int);                               // 66
    int (*pfnAllocString)(const char*);                               // 67
    entvars_t* (*pfnGetVarsOfEnt)(edict_t*);                          // 68
    edict_t* (*pfnPEntityOfEntOffset)(int);                           // 69
    int (*pfnEntOffsetOfPEntity)(const edict_t*);                     // 70
    int (*pfnIndexOfEdict)(const edict_t*);                           // 71
    edict_t* (*pfnPEntityOfEntIndex)(int);                            // 72
    edict_t* (*pfnFindEntityByVars)(entvars_t*);                      // 73
    void* (*pfnGetModelPtr)(edict_t*);                                // 74
    int (*pfnRegUserMsg)(const char* name, int size);                 // 75
    void (*pfnAnimationAutomove)(const edict_t*, float);              // 76
    void (*pfnGetBonePosition)(const edict_t*, int, float*, float*);  // 77
    std::uint32_t (*pfnFunctionFromName)(const char*);                // 78
    const char* (*pfnNameForFunction)(std::uint32_t);                 // 79
    void (*pfnClientPrintf)(edict_t*, PRINT_TYPE, const char*);       // 80: no newline added
    void (*pfnServerPrint)(const char*);                              // 81: no newline added
    const char* (*pfnCmd_Args)();                                     // 82: may be null
    const char* (*pfnCmd_Argv)(int);                                  // 83
    int (*pfnCmd_Argc)();                                             // 84
    void (*pfnGetAttachment)(const edict_t*, int, float*, float*);    // 85
    void (*pfnCRC32_Init)(CRC32_t*);                                  // 86
    void (*pfnCRC32_ProcessBuffer)(CRC32_t*, void*, int);             // 87
    void (*pfnCRC32_ProcessByte)(CRC32_t*, unsigned char);            // 88
    CRC32_t (*pfnCRC32_Final)(CRC32_t);                               // 89
    std::int32_t (*pfnRandomLong)(std::int32_t, std::int32_t);        // 90
    float (*pfnRandomFloat)(float, float);                            // 91
    void (*pfnSetView)(const edict_t*, const edict_t*);               // 92
    float (*pfnTime)();                                               // 93
    void (*pfnCrosshairAngle)(const edict_t*, float, float);          // 94
    unsigned char* (*pfnLoadFileForMe)(char*, int*);                  // 95
    void (*pfnFreeFile)(void*);                                       // 96
    void (*pfnEndSection)(const char*);                               // 97
    int (*pfnCompareFileTime)(char*, char*, int*);                    // 98
    void (*pfnGetGameDir)(char*);               // 99: full path or e.g. "cstrike"
    void (*pfnCvar_RegisterVariable)(cvar_t*);  // 100
    void (*pfnFadeClientVolume)(const edict_t*, int, int, int, int);  // 101
    void (*pfnSetClientMaxspeed)(const edict_t*, float);              // 102
    edict_t* (*pfnCreateFakeClient)(const char*);                     // 103
    void (*pfnRunPlayerMove)(edict_t*, const float*, float, float, float, unsigned short,
                             unsigned char, unsigned char);              // 104
    int (*pfnNumberOfEntities)();                                        // 105
    char* (*pfnGetInfoKeyBuffer)(edict_t*);                              // 106
    char* (*pfnInfoKeyValue)(char*, const char*);                        // 107
    void (*pfnSetKeyValue)(char*, const char*, const char*);             // 108
    void (*pfnSetClientKeyValue)(int, char*, const char*, const char*);  // 109
    int (*pfnIsMapValid)(const char*);                                   // 110
    void (*pfnStaticDecal)(const float*, int, int, int);                 // 111
    int (*pfnPrecacheGeneric)(const char*);                              // 112
    int (*pfnGetPlayerUserId)(edict_t*);                                 // 113
    void (*pfnBuildSoundMsg)(edict_t*, int, const char*, float, float, int, int, int, int,
                             const float*, edict_t*);                         // 114
    int (*pfnIsDedicatedServer)();                                            // 115
    cvar_t* (*pfnCVarGetPointer)(const char*);                                // 116
    unsigned int (*pfnGetPlayerWONId)(edict_t*);                              // 117
    void (*pfnInfo_RemoveKey)(char*, const char*);                            // 118
    const char* (*pfnGetPhysicsKeyValue)(const edict_t*, const char*);        // 119
    void (*pfnSetPhysicsKeyValue)(const edict_t*, const char*, const char*);  // 120
    const char* (*pfnGetPhysicsInfoString)(const edict_t*);                   // 121
    unsigned short (*pfnPrecacheEvent)(int, const char*);                     // 122
    void (*pfnPlaybackEvent)(int, const edict_t*, unsigned short, float, float*, float*, float,
                             float, int, int, int, int);        // 123
    unsigned char* (*pfnSetFatPVS)(float*);                     // 124
    unsigned char* (*pfnSetFatPAS)(float*);                     // 125
    int (*pfnCheckVisibility)(const edict_t*, unsigned char*);  // 126
    void (*pfnDeltaSetField)(delta_s*, const char*);            // 127
    void (*pfnDeltaUnsetField)(delta_s*, const char*);          // 128
    void (*pfnDeltaAddEncoder)(const char*, void (*)(delta_s*, const unsigned char*,
                                                     const unsigned char*));  // 129
    int (*pfnGetCurrentPlayer)();                                             // 130
    int (*pfnCanSkipPlayer)(const edict_t*);                                  // 131
    int (*pfnDeltaFindField)(delta_s*, const char*);                          // 132
    void (*pfnDeltaSetFieldByIndex)(delta_s*, int);                           // 133
    void (*pfnDeltaUnsetFieldByIndex)(delta_s*, int);                         // 134
    void (*pfnSetGroupMask)(int, int);                                        // 135
    int (*pfnCreateInstancedBaseline)(int, entity_state_s*);                  // 136
    void (*pfnCvar_DirectSet)(cvar_t*, const char*);                          // 137
    void (*pfnForceUnmodified)(FORCE_TYPE, float*, float*, const char*);      // 138
    void (*pfnGetPlayerStats)(const edict_t*, int*, int*);                    // 139
    void (*pfnAddServerCommand)(const char*, void (*)());                     // 140
    qboolean (*pfnVoice_GetClientListening)(int, int);                        // 141
    qboolean (*pfnVoice_SetClientListening)(int, int, qboolean);              // 142
    const char* (*pfnGetPlayerAuthId)(edict_t*);                   // 143: null on very old engines
    sequenceEntry_s* (*pfnSequenceGet)(const char*, const char*);  // 144
    sentenceEntry_s* (*pfnSequencePickSentence)(const char*, int, int*);  // 145
    int (*pfnGetFileSize)(const char*);                                   // 146
    unsigned int (*pfnGetApproxWavePlayLen)(const char*);                 // 147
    int (*pfnIsCareerMatch)();                                            // 148
    int (*pfnGetLocalizedStringLength)(const char*);                      // 149
    void (*pfnRegisterTutorMessageShown)(int);                            // 150
    int (*pfnGetTimesTutorMessageShown)(int);                             // 151
    void (*pfnProcessTutorMessageDecayBuffer)(int*, int);                 // 152
    void (*pfnConstructTutorMessageDecayBuffer)(int*, int);               // 153
    void (*pfnResetTutorMessageDecayData)();                              // 154
    void (*pfnQueryClientCvarValue)(const edict_t*, const char*);         // 155
    void (*pfnQueryClientCvarValue2)(const edict_t*, const char*, int);   // 156
    int (*pfnEngCheckParm)(const char*, char**);                          // 157: last slot
};

// The game DLL's function table (interface version 140): 50 slots.
struct DLL_FUNCTIONS {
    void (*pfnGameInit)();                                                                    // 0
    int (*pfnSpawn)(edict_t*);                                                                // 1
    void (*pfnThink)(edict_t*);                                                               // 2
    void (*pfnUse)(edict_t*, edict_t*);                                                       // 3
    void (*pfnTouch)(edict_t*, edict_t*);                                                     // 4
    void (*pfnBlocked)(edict_t*, edict_t*);                                                   // 5
    void (*pfnKeyValue)(edict_t*, KeyValueData*);                                             // 6
    void (*pfnSave)(edict_t*, SAVERESTOREDATA*);                                              // 7
    int (*pfnRestore)(edict_t*, SAVERESTOREDATA*, int);                                       // 8
    void (*pfnSetAbsBox)(edict_t*);                                                           // 9
    void (*pfnSaveWriteFields)(SAVERESTOREDATA*, const char*, void*, TYPEDESCRIPTION*, int);  // 10
    void (*pfnSaveReadFields)(SAVERESTOREDATA*, const char*, void*, TYPEDESCRIPTION*, int);   // 11
    void (*pfnSaveGlobalState)(SAVERESTOREDATA*);                                             // 12
    void (*pfnRestoreGlobalState)(SAVERESTOREDATA*);                                          // 13
    void (*pfnResetGlobalState)();                                                            // 14
    // 15: name, address, 128-byte reject-reason buffer; 1 admits, 0 refuses.
    qboolean (*pfnClientConnect)(edict_t*, const char* name, const char* address,
                                 char reject_reason[128]);
    void (*pfnClientDisconnect)(edict_t*);                                             // 16
    void (*pfnClientKill)(edict_t*);                                                   // 17
    void (*pfnClientPutInServer)(edict_t*);                                            // 18
    void (*pfnClientCommand)(edict_t*);                                                // 19
    void (*pfnClientUserInfoChanged)(edict_t*, char*);                                 // 20
    void (*pfnServerActivate)(edict_t*, int, int);                                     // 21
    void (*pfnServerDeactivate)();                                                     // 22
    void (*pfnPlayerPreThink)(edict_t*);                                               // 23
    void (*pfnPlayerPostThink)(edict_t*);                                              // 24
    void (*pfnStartFrame)();                                                           // 25
    void (*pfnParmsNewLevel)();                                                        // 26
    void (*pfnParmsChangeLevel)();                                                     // 27
    const char* (*pfnGetGameDescription)();                                            // 28
    void (*pfnPlayerCustomization)(edict_t*, customization_t*);                        // 29
    void (*pfnSpectatorConnect)(edict_t*);                                             // 30
    void (*pfnSpectatorDisconnect)(edict_t*);                                          // 31
    void (*pfnSpectatorThink)(edict_t*);                                               // 32
    void (*pfnSys_Error)(const char*);                                                 // 33
    void (*pfnPM_Move)(playermove_s*, qboolean);                                       // 34
    void (*pfnPM_Init)(playermove_s*);                                                 // 35
    char (*pfnPM_FindTextureType)(char*);                                              // 36
    void (*pfnSetupVisibility)(edict_t*, edict_t*, unsigned char**, unsigned char**);  // 37
    void (*pfnUpdateClientData)(const edict_t*, int, clientdata_s*);                   // 38
    int (*pfnAddToFullPack)(entity_state_s*, int, edict_t*, edict_t*, int, int,
                            unsigned char*);  // 39
    void (*pfnCreateBaseline)(int, int, entity_state_s*, edict_t*, int, const float*,
                              const float*);                                    // 40 (unused)
    void (*pfnRegisterEncoders)();                                              // 41
    int (*pfnGetWeaponData)(edict_t*, weapon_data_s*);                          // 42
    void (*pfnCmdStart)(const edict_t*, const usercmd_s*, unsigned int);        // 43
    void (*pfnCmdEnd)(const edict_t*);                                          // 44
    int (*pfnConnectionlessPacket)(const netadr_s*, const char*, char*, int*);  // 45
    int (*pfnGetHullBounds)(int, float*, float*);                               // 46
    void (*pfnCreateInstancedBaselines)();                                      // 47
    int (*pfnInconsistentFile)(const edict_t*, const char*, char*);             // 48
    int (*pfnAllowLagCompensation)();                                           // 49
};

// The optional "new" game-DLL table (version 1); it carries the game-shutdown hook.
struct NEW_DLL_FUNCTIONS {
    void (*pfnOnFreeEntPrivateData)(edict_t*);                             // 0
    void (*pfnGameShutdown)();                                             // 1
    int (*pfnShouldCollide)(edict_t*, edict_t*);                           // 2
    void (*pfnCvarValue)(const edict_t*, const char*);                     // 3
    void (*pfnCvarValue2)(const edict_t*, int, const char*, const char*);  // 4
};

// The engine globals. `time` restarts at 1.0 on every map load.
struct globalvars_t {
    float time;
    float frametime;
    float force_retouch;
    string_t mapname;
    string_t startspot;
    float deathmatch;
    float coop;
    float teamplay;
    float serverflags;
    float found_secrets;
    vec3_t v_forward;
    vec3_t v_up;
    vec3_t v_right;
    float trace_allsolid;
    float trace_startsolid;
    float trace_fraction;
    vec3_t trace_endpos;
    vec3_t trace_plane_normal;
    float trace_plane_dist;
    edict_t* trace_ent;
    float trace_inopen;
    float trace_inwater;
    int trace_hitgroup;
    int trace_flags;
    int msg_entity;
    int cdAudioTrack;
    int maxClients;  // player slots are edicts 1 .. maxClients
    int maxEntities;
    const char* pStringBase;
    void* pSaveData;
    vec3_t vecLandmarkOffset;
};

// An entity's variables, embedded in its edict. Members are listed in the
// engine's order; only `flags` and `netname` are read by the plugin.
struct entvars_t {
    string_t classname, globalname;
    vec3_t origin, oldorigin, velocity, basevelocity, clbasevelocity, movedir, angles, avelocity,
        punchangle, v_angle, endpos, startpos;
    float impacttime, starttime;
    int fixangle;
    float idealpitch, pitch_speed, ideal_yaw, yaw_speed;
    int modelindex;
    string_t model;
    int viewmodel, weaponmodel;
    vec3_t absmin, absmax, mins, maxs, size;
    float ltime, nextthink;
    int movetype, solid, skin, body, effects;
    float gravity, friction;
    int light_level, sequence, gaitsequence;
    float frame, animtime, framerate;
    unsigned char controller[4];
    unsigned char blending[2];
    float scale;
    int rendermode;
    float renderamt;
    vec3_t rendercolor;
    int renderfx;
    float health, frags;
    int weapons;
    float takedamage;
    int deadflag;
    vec3_t view_ofs;
    int button, impulse;
    edict_t *chain, *dmg_inflictor, *enemy, *aiment, *owner, *groundentity;
    int spawnflags;
    int flags;  // FL_* bits
    int colormap, team;
    float max_health, teleport_time, armortype, armorvalue;
    int waterlevel, watertype;
    string_t target, targetname, netname, message;
    float dmg_take, dmg_save, dmg, dmgtime;
    string_t noise, noise1, noise2, noise3;
    float speed, air_finished, pain_finished, radsuit_finished;
    edict_t* pContainingEntity;
    int playerclass;
    float maxspeed, fov;
    int weaponanim, pushmsec, bInDuck, flTimeStepSound, flSwimTime, flDuckTime, iStepLeft;
    float flFallVelocity;
    int gamestate, oldbuttons, groupinfo;
    int iuser1, iuser2, iuser3, iuser4;
    float fuser1, fuser2, fuser3, fuser4;
    vec3_t vuser1, vuser2, vuser3, vuser4;
    edict_t *euser1, *euser2, *euser3, *euser4;
};

struct link_t {
    link_t* prev;
    link_t* next;
};

constexpr int MAX_ENT_LEAFS = 48;

// An engine entity. Reach one through pfnPEntityOfEntIndex, never by
// pointer arithmetic over the engine's array.
struct edict_t {
    qboolean free;
    int serialnumber;
    link_t area;
    int headnode;
    int num_leafs;
    short leafnums[MAX_ENT_LEAFS];
    float freetime;
    void* pvPrivateData;  // the game's object; null until the game has spawned it
    entvars_t v;
};

// A console variable. Under the loader the plugin's own copy is never
// updated after registration; read values back through the engine.
struct cvar_t {
    const char* name;
    char* string;
    int flags;
    float value;
    cvar_t* next;
};

// Every slot is one pointer, so a slot's offset is its index in pointers.
static_assert(sizeof(enginefuncs_t) == 158 * sizeof(void*), "engine table has 158 slots");
static_assert(offsetof(enginefuncs_t, pfnServerCommand) == 39 * sizeof(void*));
static_assert(offsetof(enginefuncs_t, pfnMessageBegin) == 46 * sizeof(void*));
static_assert(offsetof(enginefuncs_t, pfnWriteString) == 54 * sizeof(void*));
static_assert(offsetof(enginefuncs_t, pfnCVarRegister) == 56 * sizeof(void*));
static_assert(offsetof(enginefuncs_t, pfnAlertMessage) == 61 * sizeof(void*));
static_assert(offsetof(enginefuncs_t, pfnIndexOfEdict) == 71 * sizeof(void*));
static_assert(offsetof(enginefuncs_t, pfnRegUserMsg) == 75 * sizeof(void*));
static_assert(offsetof(enginefuncs_t, pfnClientPrintf) == 80 * sizeof(void*));
static_assert(offsetof(enginefuncs_t, pfnCmd_Argc) == 84 * sizeof(void*));
static_assert(offsetof(enginefuncs_t, pfnGetGameDir) == 99 * sizeof(void*));
static_assert(offsetof(enginefuncs_t, pfnGetPlayerUserId) == 113 * sizeof(void*));
static_assert(offsetof(enginefuncs_t, pfnCVarGetPointer) == 116 * sizeof(void*));
static_assert(offsetof(enginefuncs_t, pfnAddServerCommand) == 140 * sizeof(void*));
static_assert(offsetof(enginefuncs_t, pfnGetPlayerAuthId) == 143 * sizeof(void*));
static_assert(offsetof(enginefuncs_t, pfnEngCheckParm) == 157 * sizeof(void*));
static_assert(sizeof(DLL_FUNCTIONS) == 50 * sizeof(void*), "game table has 50 slots");
static_assert(offsetof(DLL_FUNCTIONS, pfnClientConnect) == 15 * sizeof(void*));
static_assert(offsetof(DLL_FUNCTIONS, pfnStartFrame) == 25 * sizeof(void*));
static_assert(sizeof(NEW_DLL_FUNCTIONS) == 5 * sizeof(void*));
static_assert(sizeof(ALERT_TYPE) == 4 && sizeof(PRINT_TYPE) == 4 && sizeof(FORCE_TYPE) == 4);
static_assert(at_logged == 5 && print_chat == 2 && MSG_ONE == 1 && FL_FAKECLIENT == 0x2000);

#if defined(__i386__)
// The shipping ABI: exact byte offsets on Linux i386.
static_assert(sizeof(void*) == 4);
static_assert(sizeof(enginefuncs_t) == 632);
static_assert(offsetof(enginefuncs_t, pfnServerCommand) == 156);
static_assert(offsetof(enginefuncs_t, pfnServerExecute) == 160);
static_assert(offsetof(enginefuncs_t, pfnMessageBegin) == 184);
static_assert(offsetof(enginefuncs_t, pfnMessageEnd) == 188);
static_assert(offsetof(enginefuncs_t, pfnWriteByte) == 192);
static_assert(offsetof(enginefuncs_t, pfnWriteChar) == 196);
static_assert(offsetof(enginefuncs_t, pfnWriteShort) == 200);
static_assert(offsetof(enginefuncs_t, pfnWriteString) == 216);
static_assert(offsetof(enginefuncs_t, pfnCVarRegister) == 224);
static_assert(offsetof(enginefuncs_t, pfnAlertMessage) == 244);
static_assert(offsetof(enginefuncs_t, pfnIndexOfEdict) == 284);
static_assert(offsetof(enginefuncs_t, pfnPEntityOfEntIndex) == 288);
static_assert(offsetof(enginefuncs_t, pfnRegUserMsg) == 300);
static_assert(offsetof(enginefuncs_t, pfnClientPrintf) == 320);
static_assert(offsetof(enginefuncs_t, pfnServerPrint) == 324);
static_assert(offsetof(enginefuncs_t, pfnCmd_Args) == 328);
static_assert(offsetof(enginefuncs_t, pfnCmd_Argv) == 332);
static_assert(offsetof(enginefuncs_t, pfnCmd_Argc) == 336);
static_assert(offsetof(enginefuncs_t, pfnGetGameDir) == 396);
static_assert(offsetof(enginefuncs_t, pfnGetPlayerUserId) == 452);
static_assert(offsetof(enginefuncs_t, pfnCVarGetPointer) == 464);
static_assert(offsetof(enginefuncs_t, pfnAddServerCommand) == 560);
static_assert(offsetof(enginefuncs_t, pfnGetPlayerAuthId) == 572);
static_assert(offsetof(enginefuncs_t, pfnEngCheckParm) == 628);
static_assert(sizeof(DLL_FUNCTIONS) == 200);
static_assert(offsetof(DLL_FUNCTIONS, pfnClientConnect) == 60);
static_assert(offsetof(DLL_FUNCTIONS, pfnClientDisconnect) == 64);
static_assert(offsetof(DLL_FUNCTIONS, pfnClientPutInServer) == 72);
static_assert(offsetof(DLL_FUNCTIONS, pfnClientCommand) == 76);
static_assert(offsetof(DLL_FUNCTIONS, pfnServerActivate) == 84);
static_assert(offsetof(DLL_FUNCTIONS, pfnServerDeactivate) == 88);
static_assert(offsetof(DLL_FUNCTIONS, pfnStartFrame) == 100);
static_assert(sizeof(NEW_DLL_FUNCTIONS) == 20);
static_assert(offsetof(NEW_DLL_FUNCTIONS, pfnGameShutdown) == 4);
static_assert(sizeof(globalvars_t) == 172);
static_assert(offsetof(globalvars_t, time) == 0);
static_assert(offsetof(globalvars_t, maxClients) == 144);
static_assert(offsetof(globalvars_t, pStringBase) == 152);
static_assert(sizeof(entvars_t) == 676);
static_assert(offsetof(entvars_t, blending) == 320 && offsetof(entvars_t, scale) == 324);
static_assert(offsetof(entvars_t, flags) == 420);
static_assert(offsetof(entvars_t, netname) == 464);
static_assert(sizeof(edict_t) == 804);
static_assert(offsetof(edict_t, free) == 0);
static_assert(offsetof(edict_t, pvPrivateData) == 124);
static_assert(offsetof(edict_t, v) == 128);
static_assert(offsetof(edict_t, v) + offsetof(entvars_t, flags) == 548);
static_assert(sizeof(cvar_t) == 20);
static_assert(offsetof(cvar_t, string) == 4 && offsetof(cvar_t, value) == 12);
#endif

#include "platform/audio/pipewire_graph.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/raw.h>
#include <spa/param/route.h>
#include <spa/pod/parser.h>
#include <spa/utils/json.h>
#include <spa/utils/keys.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace quavelink::audio::pipewire_backend {
namespace {

using pipewire::property;

// How long a default-device lookup waits for the session manager to name a new default.
constexpr auto kUnsettledDefaultWait = std::chrono::milliseconds(1000);

// PipeWire's channel names, its channel ids and the SPEAKER_* bit of each.
struct Position {
    const char* name;
    std::uint32_t channel;
    std::uint32_t speaker;
};
constexpr Position kPositions[] = {
    {"MONO", SPA_AUDIO_CHANNEL_MONO, 0x4},   {"FL", SPA_AUDIO_CHANNEL_FL, 0x1},
    {"FR", SPA_AUDIO_CHANNEL_FR, 0x2},       {"FC", SPA_AUDIO_CHANNEL_FC, 0x4},
    {"LFE", SPA_AUDIO_CHANNEL_LFE, 0x8},     {"RL", SPA_AUDIO_CHANNEL_RL, 0x10},
    {"RR", SPA_AUDIO_CHANNEL_RR, 0x20},      {"FLC", SPA_AUDIO_CHANNEL_FLC, 0x40},
    {"FRC", SPA_AUDIO_CHANNEL_FRC, 0x80},    {"RC", SPA_AUDIO_CHANNEL_RC, 0x100},
    {"SL", SPA_AUDIO_CHANNEL_SL, 0x200},     {"SR", SPA_AUDIO_CHANNEL_SR, 0x400},
    {"TC", SPA_AUDIO_CHANNEL_TC, 0x800},     {"TFL", SPA_AUDIO_CHANNEL_TFL, 0x1000},
    {"TFC", SPA_AUDIO_CHANNEL_TFC, 0x2000},  {"TFR", SPA_AUDIO_CHANNEL_TFR, 0x4000},
    {"TRL", SPA_AUDIO_CHANNEL_TRL, 0x8000},  {"TRC", SPA_AUDIO_CHANNEL_TRC, 0x10000},
    {"TRR", SPA_AUDIO_CHANNEL_TRR, 0x20000},
};

// "FL,FR" or "[ FL FR ]" as channel ids; an unknown name is SPA_AUDIO_CHANNEL_UNKNOWN.
std::vector<std::uint32_t> parsePositions(const char* text) {
    std::vector<std::uint32_t> out;
    if (!text) return out;
    std::string word;
    for (const char* c = text;; ++c) {
        if (*c != '\0' && (std::isalnum(static_cast<unsigned char>(*c)) || *c == '_')) {
            word += *c;
            continue;
        }
        if (!word.empty()) {
            std::uint32_t channel = SPA_AUDIO_CHANNEL_UNKNOWN;
            for (const Position& position : kPositions) {
                if (word == position.name) channel = position.channel;
            }
            out.push_back(channel);
            word.clear();
        }
        if (*c == '\0') break;
    }
    return out;
}

// SPEAKER_* bits of the positions; 0 when one has no bit or repeats.
std::uint32_t channelMask(const std::vector<std::uint32_t>& positions) {
    if (positions.size() == 1 && positions[0] == SPA_AUDIO_CHANNEL_MONO) return 0x4;
    std::uint32_t mask = 0;
    for (std::uint32_t channel : positions) {
        std::uint32_t bit = 0;
        for (const Position& position : kPositions) {
            if (position.channel == channel && channel != SPA_AUDIO_CHANNEL_MONO) {
                bit = position.speaker;
            }
        }
        if (bit == 0 || (mask & bit) != 0) return 0;
        mask |= bit;
    }
    return mask;
}

std::uint32_t number(const char* text) {
    if (!text) return 0;
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    return end != text && value <= 0xFFFFFFFFul ? static_cast<std::uint32_t>(value) : 0;
}

// The "name" of a JSON object such as {"name":"alsa_output.pci"}; empty when there is none.
std::string jsonName(const char* value) {
    if (!value) return "";
    spa_json outer, object;
    spa_json_init(&outer, value, std::strlen(value));
    if (spa_json_enter_object(&outer, &object) <= 0) return "";
    char key[64];
    while (spa_json_get_string(&object, key, sizeof key) > 0) {
        char text[1024];
        if (std::strcmp(key, "name") == 0) {
            return spa_json_get_string(&object, text, sizeof text) > 0 ? text : "";
        }
        const char* skipped = nullptr;
        if (spa_json_next(&object, &skipped) <= 0) break;
    }
    return "";
}

std::optional<DataFlow> flowOf(const char* mediaClass) {
    if (!mediaClass) return std::nullopt;
    if (std::strcmp(mediaClass, "Audio/Sink") == 0) return DataFlow::Render;
    if (std::strcmp(mediaClass, "Audio/Source") == 0 ||
        std::strcmp(mediaClass, "Audio/Source/Virtual") == 0) {
        return DataFlow::Capture;
    }
    return std::nullopt;
}

}  // namespace

Status pipeWireError(int error) {
    switch (-error) {
        case EPIPE:
        case ECONNREFUSED:
        case ECONNRESET:
        case ENOENT:
        case EHOSTDOWN:  // no PipeWire socket where the client looked
        case ENOTCONN:
        case ETIMEDOUT:
            return kErrorServiceNotRunning;
        case ENOMEM:
            return kErrorOutOfMemory;
        default:
            return static_cast<Status>(kPipeWireErrorFacility |
                                       (static_cast<unsigned>(-error) & 0xFFFFu));
    }
}

Status Graph::defaultDevice(DataFlow flow, std::string& name) {
    auto deadline = std::chrono::steady_clock::now() + kUnsettledDefaultWait;
    for (;;) {
        if (gone()) return kErrorServiceNotRunning;
        const std::string& current = flow == DataFlow::Render ? defaultSink : defaultSource;
        const std::string& told = flow == DataFlow::Render ? toldSink : toldSource;
        if (!current.empty() && find(flow, current)) {
            name = current;
            return kOk;
        }
        // Right after PipeWire (re)started its devices are there before the session manager has
        // named a default: that is a sound server still starting, not a missing device.
        const bool starting = told.empty() && anyNode(flow);
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
        if (left.count() <= 0) return starting ? kErrorServiceNotRunning : kErrorNotFound;
        if (told.empty() && !starting) return kErrorNotFound;
        waitSignal(left);
    }
}

Graph::~Graph() {
    close();
    for (auto& [id, node] : nodes) forget(*node);
    for (auto& metadata : metadatas) {
        spa_hook_remove(&metadata->listener);
        pw_proxy_destroy(metadata->proxy);
    }
}

void Graph::forget(Node& node) {
    spa_hook_remove(&node.listener);
    pw_proxy_destroy(node.proxy);
}

void Graph::onGlobal(std::uint32_t id, const char* type, const spa_dict* props) {
    if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
        const char* name = property(props, "metadata.name");
        bool isDefault = name && std::strcmp(name, "default") == 0;
        bool isSettings = name && std::strcmp(name, "settings") == 0;
        if (!isDefault && !isSettings) return;
        auto* proxy = static_cast<pw_proxy*>(
            pw_registry_bind(registry(), id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
        if (!proxy) return;
        auto& metadata = metadatas.emplace_back(std::make_unique<Metadata>());
        metadata->graph = this;
        metadata->isDefault = isDefault;
        metadata->proxy = proxy;
        static const pw_metadata_events events = {PW_VERSION_METADATA_EVENTS,
                                                  &Graph::onMetadataProperty};
        pw_metadata_add_listener(reinterpret_cast<pw_metadata*>(proxy), &metadata->listener,
                                 &events, metadata.get());
        return;
    }
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0) return;
    std::optional<DataFlow> flow = flowOf(property(props, PW_KEY_MEDIA_CLASS));
    const char* name = property(props, PW_KEY_NODE_NAME);
    if (!flow || !name) return;
    auto node = std::make_unique<Node>();
    node->graph = this;
    node->id = id;
    node->serial = number(property(props, PW_KEY_OBJECT_SERIAL));
    node->flow = *flow;
    node->name = name;
    if (const char* device = property(props, PW_KEY_DEVICE_ID)) node->deviceId = number(device);
    node->proxy = static_cast<pw_proxy*>(
        pw_registry_bind(registry(), id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
    if (!node->proxy) return;
    static const pw_node_events events = {PW_VERSION_NODE_EVENTS, &Graph::onNodeInfo, nullptr};
    pw_node_add_listener(reinterpret_cast<pw_node*>(node->proxy), &node->listener, &events,
                         node.get());
    const std::string added = node->name;
    nodes[id] = std::move(node);
    // Those present at the connection are listed, not added.
    if (alive()) {
        for (NotificationClient* client : clients) client->OnDeviceAdded(*flow, added);
    }
}

void Graph::onGlobalRemoved(std::uint32_t id) {
    auto found = nodes.find(id);
    if (found == nodes.end()) return;
    std::unique_ptr<Node> node = std::move(found->second);
    nodes.erase(found);
    for (StreamState* stream : streams) {
        if (stream->targetId == id) stream->end(false);
    }
    for (NotificationClient* client : clients) client->OnDeviceRemoved(node->flow, node->name);
    forget(*node);
}

void Graph::onNodeInfo(void* data, const pw_node_info* info) {
    auto* node = static_cast<Node*>(data);
    Graph* graph = node->graph;
    graph->guard("node info", graph->nodeInfoFailed, [&] {
        if (!info || !(info->change_mask & PW_NODE_CHANGE_MASK_PROPS) || !info->props) return;
        Node before = {};
        before.rate = node->rate;
        before.channels = node->channels;
        before.positions = node->positions;
        const bool told = node->haveInfo;
        const std::optional<std::string> oldDescription = node->description;
        const char* description = property(info->props, PW_KEY_NODE_DESCRIPTION);
        if (!description) description = property(info->props, PW_KEY_NODE_NICK);
        node->description =
            description ? std::optional<std::string>(description) : std::optional<std::string>();
        const char* formFactor = property(info->props, PW_KEY_DEVICE_FORM_FACTOR);
        node->formFactor = formFactor ? formFactor : "";
        if (const char* device = property(info->props, "card.profile.device")) {
            node->profileDevice = number(device);
        }
        node->rate = number(property(info->props, PW_KEY_AUDIO_RATE));
        node->channels = number(property(info->props, PW_KEY_AUDIO_CHANNELS));
        node->positions = parsePositions(property(info->props, SPA_KEY_AUDIO_POSITION));
        node->haveInfo = true;
        if (!told) return;
        const bool formatChanged = !node->sameFormat(before);
        if (formatChanged) {
            for (StreamState* stream : graph->streams) {
                if (stream->targetId == node->id) stream->tell(DisconnectReason::FormatChanged);
            }
        }
        if (formatChanged || node->description != oldDescription) {
            for (NotificationClient* client : graph->clients) {
                client->OnDeviceStateChanged(node->flow, node->name);
            }
        }
    });
}

int Graph::onMetadataProperty(void* data, std::uint32_t subject, const char* key, const char*,
                              const char* value) {
    auto* metadata = static_cast<Metadata*>(data);
    Graph* graph = metadata->graph;
    graph->guard("default devices", graph->metadataFailed, [&] {
        if (subject != PW_ID_CORE) return;
        if (!metadata->isDefault) {
            if (!key || std::strcmp(key, "clock.rate") == 0) graph->clockRate = number(value);
            if (!key || std::strcmp(key, "clock.force-rate") == 0)
                graph->forcedRate = number(value);
            return;
        }
        if (!key || std::strcmp(key, "default.audio.sink") == 0) {
            graph->setDefault(DataFlow::Render, key ? jsonName(value) : "");
        }
        if (!key || std::strcmp(key, "default.audio.source") == 0) {
            graph->setDefault(DataFlow::Capture, key ? jsonName(value) : "");
        }
    });
    return 0;
}

// Keeps the default name and tells the registered clients when it changed. No name is no
// change yet: the session manager names the next default with another event.
void Graph::setDefault(DataFlow flow, const std::string& name) {
    std::string& current = flow == DataFlow::Render ? defaultSink : defaultSource;
    std::string& told = flow == DataFlow::Render ? toldSink : toldSource;
    current = name;
    if (name.empty() || name == told) return;
    const bool change = !told.empty();
    told = name;
    if (!change) return;
    for (NotificationClient* client : clients) client->OnDefaultDeviceChanged(flow, name);
}

struct RouteQuery {
    spa_direction direction;
    std::optional<std::uint32_t> profileDevice;
    std::vector<std::string>* names;
    std::string* formFactor;
};

std::vector<std::string> Graph::routes(const Node& node, std::string& formFactor) {
    std::vector<std::string> names;
    if (node.deviceId == SPA_ID_INVALID) return names;
    auto* device = static_cast<pw_device*>(pw_registry_bind(
        registry(), node.deviceId, PW_TYPE_INTERFACE_Device, PW_VERSION_DEVICE, 0));
    if (!device) return names;
    RouteQuery query{node.flow == DataFlow::Render ? SPA_DIRECTION_OUTPUT : SPA_DIRECTION_INPUT,
                     node.profileDevice, &names, &formFactor};
    pw_device_events events{};
    events.version = PW_VERSION_DEVICE_EVENTS;
    events.info = [](void* data, const pw_device_info* info) {
        auto* query = static_cast<RouteQuery*>(data);
        const char* factor = info ? property(info->props, PW_KEY_DEVICE_FORM_FACTOR) : nullptr;
        if (factor && query->formFactor->empty()) *query->formFactor = factor;
    };
    events.param = [](void* data, int, std::uint32_t, std::uint32_t, std::uint32_t,
                      const spa_pod* param) {
        auto* query = static_cast<RouteQuery*>(data);
        std::uint32_t direction = 0;
        const char* name = nullptr;
        const char* description = nullptr;
        const spa_pod* devices = nullptr;
        if (!param || spa_pod_parse_object(
                          param, SPA_TYPE_OBJECT_ParamRoute, nullptr, SPA_PARAM_ROUTE_direction,
                          SPA_POD_Id(&direction), SPA_PARAM_ROUTE_name, SPA_POD_String(&name),
                          SPA_PARAM_ROUTE_description, SPA_POD_OPT_String(&description),
                          SPA_PARAM_ROUTE_devices, SPA_POD_OPT_Pod(&devices)) < 0) {
            return;
        }
        if (direction != static_cast<std::uint32_t>(query->direction)) return;
        if (devices && query->profileDevice) {
            std::int32_t indexes[64];
            std::uint32_t count = spa_pod_copy_array(devices, SPA_TYPE_Int, indexes, 64);
            if (std::find(indexes, indexes + count,
                          static_cast<std::int32_t>(*query->profileDevice)) == indexes + count) {
                return;
            }
        }
        query->names->emplace_back(name);
        if (description) query->names->emplace_back(description);
    };
    spa_hook hook{};
    pw_device_add_listener(device, &hook, &events, &query);
    pw_device_enum_params(device, 0, SPA_PARAM_EnumRoute, 0, UINT32_MAX, nullptr);
    sync();
    spa_hook_remove(&hook);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(device));
    return names;
}

MixFormat mixFormatOf(const Node& node, std::uint32_t graphRate) {
    std::uint32_t channels = node.channels != 0 ? node.channels
                             : !node.positions.empty()
                                 ? static_cast<std::uint32_t>(node.positions.size())
                                 : 2;
    std::uint32_t rate = node.rate != 0 ? node.rate : graphRate != 0 ? graphRate : 48000;
    std::uint32_t mask = node.positions.size() == channels ? channelMask(node.positions) : 0;
    return FloatMixFormat(static_cast<std::uint16_t>(std::min<std::uint32_t>(channels, 0xFFFF)),
                          rate, mask);
}

}  // namespace quavelink::audio::pipewire_backend

#include "lilv_support.h"

HostWorld::HostWorld(Load load) : world_(lilv_world_new())
{
    if (load == Load::Lv2Path) {
        lilv_world_load_all(world_);
    } else {
        Node bundle(lilv_new_file_uri(world_, nullptr, PLUGIN_BUNDLE_DIR));
        lilv_world_load_bundle(world_, bundle.get());
    }
}

HostWorld::~HostWorld()
{
    lilv_world_free(world_);
}

const LilvPlugin* HostWorld::plugin() const
{
    Node plugin_uri = uri(PLUGIN_URI);
    return lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), plugin_uri.get());
}

Node HostWorld::get(const LilvNode* subject, const std::string& predicate) const
{
    Node p = uri(predicate);
    return Node(lilv_world_get(world_, subject, p.get(), nullptr));
}

std::string HostWorld::text(const LilvNode* node)
{
    if (node == nullptr) return "";
    if (lilv_node_is_uri(node)) return lilv_node_as_uri(node);
    const char* s = lilv_node_as_string(node);
    return s != nullptr ? s : "";
}

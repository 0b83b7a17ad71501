#pragma once

#include <lilv/lilv.h>

#include <memory>
#include <string>

// Small owners for lilv's objects, so that a failed assertion leaks nothing.
struct NodeFree {
    void operator()(LilvNode* node) const { lilv_node_free(node); }
};
struct NodesFree {
    void operator()(LilvNodes* nodes) const { lilv_nodes_free(nodes); }
};
using Node = std::unique_ptr<LilvNode, NodeFree>;
using Nodes = std::unique_ptr<LilvNodes, NodesFree>;

// A lilv world that either holds the build tree's bundle alone (as a host
// told where it is) or everything on LV2_PATH (as a host that scans).
class HostWorld {
public:
    enum class Load { BuildBundle, Lv2Path };
    explicit HostWorld(Load load);
    ~HostWorld();
    HostWorld(const HostWorld&) = delete;
    HostWorld& operator=(const HostWorld&) = delete;

    LilvWorld* world() const { return world_; }
    // The plug-in by its URI; null when the world does not have it.
    const LilvPlugin* plugin() const;

    Node uri(const std::string& text) const { return Node(lilv_new_uri(world_, text.c_str())); }
    // The first object of (subject, predicate, *), or null.
    Node get(const LilvNode* subject, const std::string& predicate) const;
    // The text of a literal or URI node ("" for null).
    static std::string text(const LilvNode* node);

private:
    LilvWorld* world_;
};

// Namespaces the metadata uses.
#define LV2_CORE "http://lv2plug.in/ns/lv2core#"
#define LV2_PG "http://lv2plug.in/ns/ext/port-groups#"
#define LV2_PPROP "http://lv2plug.in/ns/ext/port-props#"
#define LV2_PSET "http://lv2plug.in/ns/ext/presets#"
#define LV2_UNITS "http://lv2plug.in/ns/extensions/units#"
#define RDF_NS "http://www.w3.org/1999/02/22-rdf-syntax-ns#"
#define RDFS_NS "http://www.w3.org/2000/01/rdf-schema#"
#define DOAP_NS "http://usefulinc.com/ns/doap#"
#define FOAF_NS "http://xmlns.com/foaf/0.1/"

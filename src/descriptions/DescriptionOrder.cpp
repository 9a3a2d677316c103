#include "descriptions/DescriptionOrder.h"

#include <algorithm>
#include <utility>

namespace wk {

struct DescriptionOrder::Node {
    std::unique_ptr<Description> record;
    StreamTime start = 0;
    StreamTime latestStart = 0;  // of this node's subtree
    uint64_t priority = 0;
    Node* left = nullptr;
    Node* right = nullptr;
    Node* parent = nullptr;
};

namespace {

uint64_t NextRandom(uint64_t& state) {  // splitmix64
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

}  // namespace

DescriptionOrder::DescriptionOrder() : m_seed(0x5EEDDE5C5EEDDE5CULL) {}

DescriptionOrder::~DescriptionOrder() = default;

void DescriptionOrder::Update(Node* node) {
    ++m_steps;
    node->latestStart = node->start;
    for (Node* child : {node->left, node->right}) {
        if (child == nullptr) continue;
        child->parent = node;
        node->latestStart = std::max(node->latestStart, child->latestStart);
    }
}

DescriptionOrder::Node* DescriptionOrder::MakeNode(std::unique_ptr<Description> record) {
    auto node = std::make_unique<Node>();
    node->start = record->start;
    node->latestStart = record->start;
    node->priority = NextRandom(m_seed);
    node->record = std::move(record);
    m_nodes.push_back(std::move(node));
    ++m_size;
    return m_nodes.back().get();
}

// Left: every node before the first one whose start is later than `end`;
// right: that node and all after it.
std::pair<DescriptionOrder::Node*, DescriptionOrder::Node*> DescriptionOrder::SplitBefore(
    Node* tree, StreamTime end) {
    if (tree == nullptr) return {nullptr, nullptr};
    ++m_steps;
    if (tree->left != nullptr && tree->left->latestStart > end) {
        auto [before, rest] = SplitBefore(tree->left, end);
        tree->left = rest;
        Update(tree);
        if (before) before->parent = nullptr;
        return {before, tree};
    }
    if (tree->start > end) {
        Node* before = tree->left;
        tree->left = nullptr;
        Update(tree);
        if (before) before->parent = nullptr;
        return {before, tree};
    }
    auto [rest, after] = SplitBefore(tree->right, end);
    tree->right = rest;
    Update(tree);
    if (after) after->parent = nullptr;
    return {tree, after};
}

DescriptionOrder::Node* DescriptionOrder::Join(Node* left, Node* right) {
    if (left == nullptr) return right;
    if (right == nullptr) return left;
    ++m_steps;
    if (left->priority > right->priority) {
        left->right = Join(left->right, right);
        Update(left);
        return left;
    }
    right->left = Join(left, right->left);
    Update(right);
    return right;
}

DescriptionOrder::Node* DescriptionOrder::Append(std::unique_ptr<Description> record) {
    Node* node = MakeNode(std::move(record));
    m_root = Join(m_root, node);
    m_root->parent = nullptr;
    return node;
}

std::vector<DescriptionOrder::Node*> DescriptionOrder::Build(
    std::vector<std::unique_ptr<Description>> records) {
    std::vector<Node*> nodes;
    nodes.reserve(records.size());
    // The tree of a known order: each node hangs below the last one on the
    // right spine with a higher priority and takes over what it displaces.
    std::vector<Node*> spine;
    for (auto& record : records) {
        Node* node = MakeNode(std::move(record));
        nodes.push_back(node);
        Node* displaced = nullptr;
        while (!spine.empty() && spine.back()->priority < node->priority) {
            displaced = spine.back();
            spine.pop_back();
        }
        node->left = displaced;
        if (!spine.empty()) spine.back()->right = node;
        spine.push_back(node);
    }
    if (spine.empty()) return nodes;
    // Children before parents, for the latest starts.
    std::vector<Node*> pending{spine.front()};
    std::vector<Node*> postOrder;
    while (!pending.empty()) {
        Node* node = pending.back();
        pending.pop_back();
        postOrder.push_back(node);
        if (node->left) pending.push_back(node->left);
        if (node->right) pending.push_back(node->right);
    }
    for (auto it = postOrder.rbegin(); it != postOrder.rend(); ++it) Update(*it);
    spine.front()->parent = nullptr;
    m_root = Join(m_root, spine.front());
    m_root->parent = nullptr;
    return nodes;
}

DescriptionOrder::Node* DescriptionOrder::Add(std::unique_ptr<Description> record) {
    const StreamTime end = record->end;
    Node* node = MakeNode(std::move(record));
    auto [before, after] = SplitBefore(m_root, end);
    m_root = Join(Join(before, node), after);
    m_root->parent = nullptr;
    return node;
}

void DescriptionOrder::Erase(Node* node) {
    if (node == nullptr || !node->record) return;
    Node* parent = node->parent;
    Node* joined = Join(node->left, node->right);
    if (joined) joined->parent = parent;
    if (parent == nullptr) {
        m_root = joined;
    } else if (parent->left == node) {
        parent->left = joined;
    } else {
        parent->right = joined;
    }
    for (Node* up = parent; up != nullptr; up = up->parent) Update(up);
    node->left = node->right = node->parent = nullptr;
    node->record.reset();
    --m_size;
}

std::vector<std::unique_ptr<Description>> DescriptionOrder::TakeAll() {
    std::vector<std::unique_ptr<Description>> records;
    records.reserve(m_size);
    std::vector<Node*> path;
    for (Node* at = m_root; at != nullptr || !path.empty();) {
        if (at != nullptr) {
            path.push_back(at);
            at = at->left;
            continue;
        }
        at = path.back();
        path.pop_back();
        records.push_back(std::move(at->record));
        at = at->right;
    }
    m_nodes.clear();
    m_root = nullptr;
    m_size = 0;
    return records;
}

}  // namespace wk

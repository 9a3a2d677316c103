#pragma once
// The list order of a description store, for bulk work (loading a file,
// merging one store into another) on hundreds of thousands of records.
//
// The rule is DescriptionStore::Add's: a record goes before the first record
// in list order whose start is later than its own end. Walking a vector for
// that place and shifting the vector to insert costs O(n) a record; here the
// list is a treap ordered by list position whose nodes know the latest start
// beneath them, so finding the place, inserting and erasing take O(log n)
// expected. The priorities come from a fixed seed: the same input always
// builds the same tree.
//
// Not thread-safe; one owner.

#include <cstdint>
#include <memory>
#include <vector>

#include "descriptions/Description.h"

namespace wk {

class DescriptionOrder {
public:
    struct Node;

    DescriptionOrder();
    ~DescriptionOrder();
    DescriptionOrder(const DescriptionOrder&) = delete;
    DescriptionOrder& operator=(const DescriptionOrder&) = delete;

    // Puts `record` at the end of the list, whatever its times (for records
    // whose order is already known). The handle stays valid until TakeAll.
    Node* Append(std::unique_ptr<Description> record);
    // Appends a whole list in O(n); the handles in the list's order.
    std::vector<Node*> Build(std::vector<std::unique_ptr<Description>> records);
    // Puts `record` where DescriptionStore::Add would.
    Node* Add(std::unique_ptr<Description> record);
    // Takes the record of `node` out of the list and destroys it; a node
    // erased before is left alone.
    void Erase(Node* node);
    // The records in list order; the order is empty afterwards.
    std::vector<std::unique_ptr<Description>> TakeAll();

    size_t Size() const { return m_size; }
    // Tree nodes visited so far: what the work costs, for complexity checks.
    uint64_t Steps() const { return m_steps; }

private:
    std::pair<Node*, Node*> SplitBefore(Node* tree, StreamTime end);
    Node* Join(Node* left, Node* right);
    Node* MakeNode(std::unique_ptr<Description> record);
    void Update(Node* node);

    std::vector<std::unique_ptr<Node>> m_nodes;
    Node* m_root = nullptr;
    size_t m_size = 0;
    uint64_t m_seed;
    uint64_t m_steps = 0;
};

}  // namespace wk

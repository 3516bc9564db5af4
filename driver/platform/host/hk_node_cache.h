// Host kernel: spare nodes of a node-based map, reused by its next insertion. The clock and the
// model's scheduler insert and remove an entry per event (the model one per bus cycle while
// isochronous traffic runs); an allocation per entry costs a sanitizer build more than the event.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace hk {

template <typename Map>
class NodeCache {
public:
    // Inserts (key, value); the key must be new. The entry's address stays put until it is erased.
    template <typename K, typename V>
    typename Map::iterator Insert(Map& map, K&& key, V&& value) {
        if (spare_.empty()) return map.emplace(std::forward<K>(key), std::forward<V>(value)).first;
        typename Map::node_type node = std::move(spare_.back());
        spare_.pop_back();
        node.key() = std::forward<K>(key);
        node.mapped() = std::forward<V>(value);
        return map.insert(std::move(node)).position;
    }
    void Erase(Map& map, typename Map::iterator at) { Keep(map.extract(at)); }
    bool Erase(Map& map, const typename Map::key_type& key) {
        auto at = map.find(key);
        if (at == map.end()) return false;
        Erase(map, at);
        return true;
    }
    void Clear() { spare_.clear(); }

private:
    static constexpr size_t kMaxSpare = 256;
    void Keep(typename Map::node_type node) {
        if (spare_.size() < kMaxSpare) spare_.push_back(std::move(node));
    }
    std::vector<typename Map::node_type> spare_;
};

}  // namespace hk

// Chained hash table keyed by 64-bit signatures. Nodes come from blocks of 1024 and
// are freed only with the table. Lookups take no lock: a node is complete before the
// link that makes it reachable is stored, and nodes never move while the table lives.
#pragma once

#include <stdint.h>

#include <atomic>
#include <new>

#include "zulib/zu_log.h"

namespace plumespace {

template <typename V>
class XHash {
public:
    typedef uint32_t (*HashFn)(uint64_t key);

    XHash() = default;
    XHash(const XHash&) = delete;
    XHash& operator=(const XHash&) = delete;
    ~XHash() { destroy(); }

    int create(int n, HashFn hash) {
        if (n <= 0) {
            zu_writelog(ZU_LOG_WARNING, "[0][%s:%d]invalid input hn[%d] <=0", __FILE__, __LINE__, n);
            return -1;
        }
        if (!hash) {
            zu_writelog(ZU_LOG_WARNING, "[0][%s:%d]unvalid hash_num[%d] or unvalid hash or compare function",
                        __FILE__, __LINE__, n);
            return -1;
        }
        buckets_ = new (std::nothrow) std::atomic<Node*>[n];
        if (!buckets_) {
            zu_writelog(ZU_LOG_WARNING, "[0][%s:%d] [HASH ERROR] Fail to new a hash bucket table [%zu].",
                        __FILE__, __LINE__, n * sizeof(Node*));
            return -1;
        }
        for (int i = 0; i < n; ++i) buckets_[i].store(nullptr, std::memory_order_relaxed);
        blocks_ = new (std::nothrow) Block();
        if (!blocks_) {
            zu_writelog(ZU_LOG_WARNING, "[0][%s:%d][HASH ERROR] Fail to new a hash block [%zu]", __FILE__,
                        __LINE__, sizeof(Block));
            delete[] buckets_;
            buckets_ = nullptr;
            return -1;
        }
        n_ = n;
        hash_ = hash;
        left_ = BLOCK_NODES;
        count_ = 0;
        return 0;
    }

    void destroy() {
        delete[] buckets_;
        buckets_ = nullptr;
        while (blocks_) {
            Block* next = blocks_->next;
            delete blocks_;
            blocks_ = next;
        }
        n_ = 0;
        count_ = 0;
    }

    bool created() const { return buckets_ != nullptr; }
    int count() const { return count_; }

    // 0 found (value copied to out), 2 not found, -1 no table. eq tells equal keys apart.
    template <class Eq>
    int find(uint64_t key, Eq eq, V* out) const {
        if (!buckets_) return -1;
        for (Node* n = buckets_[hash_(key) % n_].load(std::memory_order_acquire); n;
             n = n->next.load(std::memory_order_acquire)) {
            if (n->key == key && eq(n->value)) {
                *out = n->value;
                return 0;
            }
        }
        return 2;
    }

    // 0 inserted, 1 an equal key exists, 3 no memory, -1 no table. Callers serialise.
    template <class Eq>
    int insert(uint64_t key, const V& value, Eq eq) {
        if (!buckets_) return -1;
        std::atomic<Node*>* link = &buckets_[hash_(key) % n_];
        for (Node* n = link->load(std::memory_order_acquire); n; n = n->next.load(std::memory_order_acquire)) {
            if (n->key == key && eq(n->value)) return 1;
            link = &n->next;
        }
        Node* node = takeNode();
        if (!node) {
            zu_writelog(ZU_LOG_WARNING, "[0][%s:%d][HASH] malloc memory error", __FILE__, __LINE__);
            return 3;
        }
        node->key = key;
        node->value = value;
        node->next.store(nullptr, std::memory_order_relaxed);
        link->store(node, std::memory_order_release);
        ++count_;
        return 0;
    }

    template <class F>
    void forEach(F f) const {
        for (int i = 0; i < n_; ++i)
            for (Node* n = buckets_[i].load(std::memory_order_acquire); n; n = n->next.load(std::memory_order_acquire))
                f(n->value);
    }

private:
    static constexpr int BLOCK_NODES = 1024;
    struct Node {
        uint64_t key;
        V value;
        std::atomic<Node*> next;
    };
    struct Block {
        Node nodes[BLOCK_NODES];
        Block* next = nullptr;
    };

    // Nodes are taken from the top of the current block downward.
    Node* takeNode() {
        if (left_ == 0) {
            Block* block = new (std::nothrow) Block();
            if (!block) {
                zu_writelog(ZU_LOG_WARNING, "[0][%s:%d][HASH ERROR] Fail to new a Hash Block[%zu]", __FILE__,
                            __LINE__, sizeof(Block));
                return nullptr;
            }
            block->next = blocks_;
            blocks_ = block;
            left_ = BLOCK_NODES;
        }
        return &blocks_->nodes[--left_];
    }

    std::atomic<Node*>* buckets_ = nullptr;
    int n_ = 0;
    HashFn hash_ = nullptr;
    int count_ = 0;
    Block* blocks_ = nullptr;
    int left_ = 0;
};

}  // namespace plumespace

// The aggregation contract: an aggregate record (a sample) and the table that holds them.
//
// A record is built from one flow or event of the configured type; its constructor computes its
// key as its last step. Records with equal keys are the same sample: the table keeps the first
// and merges later ones into it. A stored sample's key and dimensions never change; only its
// counters do, through MergeFrom.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

class kppPlugin;

class kppAggregator {
 public:
  explicit kppAggregator(const kppPlugin& plugin) : plugin(plugin) {}
  kppAggregator(const kppAggregator&) = delete;
  kppAggregator& operator=(const kppAggregator&) = delete;
  virtual ~kppAggregator();

  // Computes key from the dimensions; constructors call it last.
  virtual void MakeKey() = 0;
  // Encodes the record and places it into stats: as a leaf of the nested tree in nested mode, as
  // one more row otherwise. Returns false when the record could not be placed and was left out
  // (a nested position out of range); the base places nothing and returns true.
  virtual bool Append(nlohmann::json& stats) const;
  // Writes the record's members into record (null on entry, an object after).
  virtual void Encode(nlohmann::json& record) const;

  // The record type number, 1 to 8.
  virtual uint32_t Type() const = 0;
  // stored += other, for a record of the same class (the caller has checked Type()).
  virtual void MergeFrom(const kppAggregator& other) = 0;

  // The sample key: key's text from key_start on.
  std::string_view GetKey() const { return std::string_view(key).substr(key_start); }

 protected:
  // Holds the sample key, written by MakeKey(). A record may keep dimension text that is not part
  // of its key in front of it, so that one allocation holds all of its text; key_start then says
  // where the key begins (type 1 in privacy mode keeps its local addresses there).
  std::string key;
  const kppPlugin& plugin;
  uint32_t key_start = 0;
};

// The samples of the current reporting window, by key, in order of arrival. Not thread-safe:
// the plugin guards it with its lock.
class kppSampleTable {
 public:
  using Records = std::vector<std::shared_ptr<kppAggregator>>;

  kppAggregator* Find(std::string_view key) const;
  // Stores a record whose key is not in the table yet.
  void Insert(std::shared_ptr<kppAggregator> record);

  size_t size() const { return records_.size(); }
  bool empty() const { return records_.empty(); }
  void clear();
  void swap(kppSampleTable& other);
  const Records& records() const { return records_; }

 private:
  static uint32_t Hash(std::string_view key);
  // Places a record (by position and hash) into slots_, which has a free slot.
  void Place(uint32_t hash, size_t position);
  void Grow();

  // The index: open addressing with linear probing over a power-of-two number of slots, at most
  // three quarters full. A slot holds its key's hash in the upper half and 1 + the record's
  // position in records_ in the lower (0: free). Eight bytes a slot, no allocation per sample,
  // and a hash mismatch is rejected without touching the record.
  std::vector<uint64_t> slots_;
  Records records_;
};

// The aggregation contract: an aggregate record (a sample).
//
// A record is built from one flow or event of the configured type; its constructor computes its
// key as its last step. Records with equal keys are the same sample: the table keeps the first
// and merges later ones into it. A stored sample's key and dimensions never change; only its
// counters do, through MergeFrom.
//
// Records know nothing of the plugin: the settings that shape their keys and rows come in as a
// value.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "kpp_nested_path.h"
#include "kpp_record_settings.h"

class kppAggregator {
 public:
  kppAggregator() = default;
  kppAggregator(const kppAggregator&) = delete;
  kppAggregator& operator=(const kppAggregator&) = delete;
  virtual ~kppAggregator();

  // Computes key from the dimensions; constructors call it last.
  virtual void MakeKey(const kppRecordSettings& settings) = 0;
  // Writes the record's members into record (null on entry, an object after), in the form the
  // settings call for.
  virtual void Encode(nlohmann::json& record, const kppRecordSettings& settings) const = 0;
  // Where the record's leaf sits in the nested form.
  virtual kppNestedPath NestedPath(const kppRecordSettings& settings) const = 0;

  // The record type number.
  virtual uint32_t Type() const = 0;
  // stored += other, for a record of the same class (the caller has checked Type()).
  virtual void MergeFrom(const kppAggregator& other) = 0;

  // Encodes the record and places it into stats: as the leaf at NestedPath in nested mode, as one
  // more row otherwise. Returns false when the record could not be placed and was left out (a
  // nested position out of range, which leaves no half-built branch behind). Samples never meet
  // on a path: the payload pass merges those that share one before it places them.
  bool Append(nlohmann::json& stats, const kppRecordSettings& settings) const;

  // The sample key: key's text from key_start on.
  std::string_view GetKey() const { return std::string_view(key).substr(key_start); }

 protected:
  // Holds the sample key, written by MakeKey(). A record may keep dimension text that is not part
  // of its key in front of it, so that one allocation holds all of its text; key_start then says
  // where the key begins (type 1 in privacy mode keeps its local addresses there).
  std::string key;
  uint32_t key_start = 0;
};

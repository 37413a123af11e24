// The settings that shape a record's key and rows. Records receive them as a value, never from
// the plugin: a key is made with the settings in force when its record is built, a row's form
// with those in force when it is encoded.
#pragma once

#include <cstdint>

struct kppRecordSettings {
  // The bits of the plugin's configured flags.
  static constexpr uint32_t kPrivacy = 1;
  static constexpr uint32_t kNested = 2;
  static constexpr uint32_t kKeyByOverlay = 4;

  static kppRecordSettings FromFlags(uint32_t flags) {
    return kppRecordSettings{(flags & kPrivacy) != 0, (flags & kNested) != 0,
                             (flags & kKeyByOverlay) != 0};
  }

  // The local MAC and IP addresses are left out of keys and rows.
  bool privacy = false;
  // Rows are leaves of one tree whose levels are their dimensions.
  bool nested = false;
  // Type 6 groups by tag set.
  bool key_by_overlay = false;
};

// Mistakes in a configuration file that the plugin would pass over in silence: keys it does not
// know (a misspelt "aggregatr" just keeps the default) and sinks named on the command line that
// the file does not configure. Only meaningful for our own plugin, whose keys these are.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kdreplay {

// One message per unknown top-level key and per unknown key of a channel object, with the
// closest known key when one is near: `unknown key "aggregatr" (did you mean "aggregator"?)`,
// `sinks.demo.flows: unknown key "formt" (did you mean "format"?)`.
std::vector<std::string> UnknownKeys(const nlohmann::json& document);

// A message when "aggregator" names no record type (the plugin then keeps the type it has, in
// silence): `"aggregator": 99 is not a record type from 1 to 8; the plugin keeps its type`.
// Empty when the value selects a type or is absent.
std::string IgnoredRecordType(const nlohmann::json& document);

// One message per setting whose value is of a type the plugin passes over in silence: a number
// given as text (`"log_interval": "60" is not a number; the plugin keeps its value`), a mode
// that is not true or false (the plugin takes it as false), criteria that are not a list of
// texts (the plugin keeps its criteria), a channel's "enable" that is not true or false.
std::vector<std::string> IgnoredValues(const nlohmann::json& document);

// The names of sinks that the document's "sinks" object does not have.
std::vector<std::string> UnconfiguredSinks(const nlohmann::json& document,
                                           const std::vector<std::string>& sinks);

// Whether the plugin's load of document fails after it has logged its "Using aggregator" line,
// which is when the channel table is built: a "format" or "compressor" value it does not know,
// at the top or in a channel, or a "sinks" or sink that is not an object. Such a failure cannot be
// told from a success by the log lines' order alone.
bool FailsLateInLoad(const nlohmann::json& document);

// The known key nearest to key (at most two edits away, and fewer than its length), or "".
std::string ClosestKey(const std::string& key, const std::vector<std::string>& known);

}  // namespace kdreplay

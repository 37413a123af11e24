// Which dispatches a collector of results counts: those that reach the first sink channel any
// payload reached, so that a payload sent to several channels counts once. Not thread-safe: the
// collector's own lock guards it.
#pragma once

#include <set>
#include <string>

namespace kdreplay {

class FirstChannel {
 public:
  // Whether a dispatch to sink's channels reaches the channel followed; the first call picks it.
  bool Reaches(const std::string& sink, const std::set<std::string>& channels) {
    if (!following_) {
      following_ = true;
      sink_ = sink;
      channel_ = channels.empty() ? "" : *channels.begin();
    }
    return sink == sink_ && (channels.empty() ? channel_.empty() : channels.count(channel_) > 0);
  }
  // Counts what comes from elsewhere (files read back): no channel is picked any more.
  void FollowNone() { following_ = true; }

  bool following() const { return following_; }
  const std::string& sink() const { return sink_; }
  const std::string& channel() const { return channel_; }

 private:
  bool following_ = false;
  std::string sink_;
  std::string channel_;
};

}  // namespace kdreplay

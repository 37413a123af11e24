#include "kd_flow_collector.h"

#include <algorithm>

#include "kd_flow_template.h"
#include "kd_netflow5.h"
#include "kd_pending_sets.h"
#include "kd_record_values.h"
#include "kd_sequence_tracker.h"
#include "kd_wire.h"

namespace {

// Set IDs of the two dialects (RFC 3954 5.2, RFC 7011 3.3.2).
constexpr uint16_t kV9TemplateSet = 0;
constexpr uint16_t kV9OptionsSet = 1;
constexpr uint16_t kIpfixTemplateSet = 2;
constexpr uint16_t kIpfixOptionsSet = 3;
constexpr uint16_t kFirstDataSet = 256;

constexpr size_t kV9HeaderSize = 20;
constexpr size_t kIpfixHeaderSize = 16;

struct Domain {
  std::map<uint16_t, kdFlowTemplate> templates;
  kdSequenceTracker sequence;
  uint32_t default_rate = 1;
  std::map<uint64_t, uint32_t> samplers;  // sampler or selector ID to its rate
  bool has_system_init = false;           // IPFIX uptimes count from here
  uint64_t system_init_ms = 0;
};

struct Exporter {
  std::map<std::pair<uint16_t, uint32_t>, Domain> domains;  // by (version, domain)
  size_t template_count = 0;
  uint64_t last_seen_ms = 0;
  kdFlowDecodeCounters counters;
};

bool AllZero(const uint8_t* p, size_t n) {
  return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

}  // namespace

class kdFlowCollector::Impl {
 public:
  Impl(RecordFn on_record, kdFlowCollectorLimits limits)
      : on_record_(std::move(on_record)),
        limits_(limits),
        pending_(limits.max_pending_bytes, limits.pending_max_age_ms) {}

  void Decode(const kdFlowExporter& from, const uint8_t* data, size_t size, uint64_t now_ms) {
    Expire(now_ms);
    Exporter* ex = FindOrAdd(from);
    if (ex == nullptr) {
      ++refused_datagrams_;
      return;
    }
    ex->last_seen_ms = now_ms;
    ++ex->counters.datagrams;
    if (size < 2) {
      ++ex->counters.malformed;
      return;
    }
    uint16_t version = static_cast<uint16_t>(data[0] << 8 | data[1]);
    switch (version) {
      case kd_flow_version::kNetflow5:
        DecodeV5(from, *ex, data, size);
        break;
      case kd_flow_version::kNetflow9:
      case kd_flow_version::kIpfix:
        DecodeTemplated(from, *ex, version, data, size, now_ms);
        break;
      default:
        ++ex->counters.unknown_version;
    }
  }

  void Expire(uint64_t now_ms) {
    pending_.Expire(now_ms, [this](const kdPendingSets::Key& k) { CountDropped(k); });
    for (auto it = exporters_.begin(); it != exporters_.end();) {
      if (now_ms >= it->second.last_seen_ms &&
          now_ms - it->second.last_seen_ms > limits_.exporter_idle_ms) {
        pending_.Forget(it->first);
        total_templates_ -= it->second.template_count;
        it = exporters_.erase(it);
      } else {
        ++it;
      }
    }
  }

  std::vector<std::pair<kdFlowExporter, kdFlowDecodeCounters>> TakeCounters() {
    std::vector<std::pair<kdFlowExporter, kdFlowDecodeCounters>> out;
    for (auto& [who, ex] : exporters_) {
      if (ex.counters.Empty()) continue;
      out.emplace_back(who, ex.counters);
      ex.counters = kdFlowDecodeCounters();
    }
    return out;
  }

  uint64_t TakeRefusedDatagrams() { return std::exchange(refused_datagrams_, 0); }

  uint32_t SamplingRate(const kdFlowExporter& who, uint16_t version, uint32_t domain) const {
    auto ex = exporters_.find(who);
    if (ex == exporters_.end()) return 1;
    auto d = ex->second.domains.find({version, domain});
    return d == ex->second.domains.end() ? 1 : d->second.default_rate;
  }

  size_t exporter_count() const { return exporters_.size(); }
  size_t template_count() const { return total_templates_; }
  size_t pending_bytes() const { return pending_.bytes(); }

 private:
  Exporter* FindOrAdd(const kdFlowExporter& who) {
    auto it = exporters_.find(who);
    if (it != exporters_.end()) return &it->second;
    if (exporters_.size() >= limits_.max_exporters) return nullptr;
    return &exporters_[who];
  }

  Domain* FindOrAddDomain(Exporter& ex, uint16_t version, uint32_t domain) {
    auto it = ex.domains.find({version, domain});
    if (it != ex.domains.end()) return &it->second;
    if (ex.domains.size() >= limits_.max_domains_per_exporter) {
      ++ex.counters.domains_refused;
      return nullptr;
    }
    return &ex.domains[{version, domain}];
  }

  void CountDropped(const kdPendingSets::Key& k) {
    auto it = exporters_.find(k.exporter);
    if (it != exporters_.end()) ++it->second.counters.pending_dropped;
  }

  // Sampling applies to the counters only: the exporter saw one packet in `rate`.
  void Emit(kdFlowRecord& f, uint32_t rate) {
    f.sampling_rate = rate == 0 ? 1 : rate;
    f.octets *= f.sampling_rate;
    f.packets *= f.sampling_rate;
    f.reverse_octets *= f.sampling_rate;
    f.reverse_packets *= f.sampling_rate;
    on_record_(f);
  }

  void DecodeV5(const kdFlowExporter& from, Exporter& ex, const uint8_t* data, size_t size) {
    kdNetflow5Header h;
    if (!kdReadNetflow5(data, size, h, v5_records_)) {
      ++ex.counters.malformed;
      return;
    }
    Domain* d = FindOrAddDomain(ex, kd_flow_version::kNetflow5, h.Domain());
    if (d == nullptr) return;
    auto seq = d->sequence.Check(h.sequence, h.sequence + h.count);
    ex.counters.lost_records += seq.lost;
    ex.counters.out_of_order += seq.out_of_order;
    d->default_rate = h.SamplingRate();
    if (v5_records_.size() < h.count) {
      ++ex.counters.malformed;
      ex.counters.truncated_records += h.count - v5_records_.size();
    }
    for (kdFlowRecord& f : v5_records_) {
      f.exporter = from;
      f.observation_domain = h.Domain();
      ++ex.counters.records;
      Emit(f, d->default_rate);
    }
  }

  void DecodeTemplated(const kdFlowExporter& from, Exporter& ex, uint16_t version,
                       const uint8_t* data, size_t size, uint64_t now_ms) {
    bool ipfix = version == kd_flow_version::kIpfix;
    kdWireReader r(data, size);
    r.U16();
    uint32_t sequence = 0;
    uint32_t domain_id = 0;
    kdRecordClock clock;
    if (ipfix) {
      uint16_t length = r.U16();
      clock.export_ms = uint64_t{r.U32()} * 1000;
      sequence = r.U32();
      domain_id = r.U32();
      if (!r.ok() || length < kIpfixHeaderSize || length > size) {
        ++ex.counters.malformed;
        return;
      }
      r = kdWireReader(data + kIpfixHeaderSize, length - kIpfixHeaderSize);
    } else {
      r.U16();  // count: records of every kind, of no use to a reader that walks the sets
      uint32_t uptime = r.U32();
      clock.export_ms = uint64_t{r.U32()} * 1000;
      sequence = r.U32();
      domain_id = r.U32();
      if (!r.ok()) {
        ++ex.counters.malformed;
        return;
      }
      clock.has_uptime_base = true;
      clock.uptime_base_ms = clock.export_ms - uptime;
      r = kdWireReader(data + kV9HeaderSize, size - kV9HeaderSize);
    }
    Domain* d = FindOrAddDomain(ex, version, domain_id);
    if (d == nullptr) return;

    kdPendingSets::Key key{from, version, domain_id, 0};
    Message m{from, ex, *d, key, clock, ipfix};
    while (r.remaining() > 0) {
      uint16_t set_id = r.U16();
      uint16_t set_length = r.U16();
      if (!r.ok() || set_length < 4 || set_length - 4u > r.remaining()) {
        ++ex.counters.malformed;
        break;
      }
      const uint8_t* body = r.Bytes(set_length - 4u);
      size_t body_size = set_length - 4u;
      if (set_id == (ipfix ? kIpfixTemplateSet : kV9TemplateSet)) {
        ReadTemplates(m, body, body_size, false);
      } else if (set_id == (ipfix ? kIpfixOptionsSet : kV9OptionsSet)) {
        ReadTemplates(m, body, body_size, true);
      } else if (set_id >= kFirstDataSet) {
        ReadDataSet(m, set_id, body, body_size, now_ms);
      } else {
        ++ex.counters.unsupported;
      }
    }

    // IPFIX counts data records, v9 datagrams (RFC 7011 3.1, RFC 3954 5.1).
    if (ipfix) {
      auto seq = d->sequence.Check(sequence, sequence + m.data_records);
      ex.counters.lost_records += seq.lost;
      ex.counters.out_of_order += seq.out_of_order;
      if (m.held_data) d->sequence.Forget();
    } else {
      auto seq = d->sequence.Check(sequence, sequence + 1);
      ex.counters.lost_datagrams += seq.lost;
      ex.counters.out_of_order += seq.out_of_order;
    }
  }

  struct Message {
    const kdFlowExporter& from;
    Exporter& ex;
    Domain& domain;
    kdPendingSets::Key key;
    kdRecordClock clock;
    bool ipfix;
    uint32_t data_records = 0;
    bool held_data = false;  // a set of unknown record count was kept
  };

  void ReadTemplates(Message& m, const uint8_t* body, size_t size, bool options) {
    kdWireReader r(body, size);
    auto dialect = m.ipfix ? kdTemplateDialect::kIpfix : kdTemplateDialect::kNetflow9;
    while (r.remaining() >= 4) {
      if (AllZero(r.here(), r.remaining())) return;  // padding
      kdFlowTemplate t;
      switch (kdReadTemplate(r, dialect, options, limits_.max_fields_per_template, t)) {
        case kdTemplateParse::kOk:
          AddTemplate(m, std::move(t));
          break;
        case kdTemplateParse::kWithdrawal:
          Withdraw(m, t.id, options);
          break;
        case kdTemplateParse::kBad:
          ++m.ex.counters.bad_templates;
          return;  // where the next record starts is unknown
        case kdTemplateParse::kTruncated:
          ++m.ex.counters.malformed;
          return;
      }
    }
  }

  void AddTemplate(Message& m, kdFlowTemplate t) {
    auto it = m.domain.templates.find(t.id);
    if (it == m.domain.templates.end()) {
      if (m.ex.template_count >= limits_.max_templates_per_exporter) {
        ++m.ex.counters.templates_refused;
        return;
      }
      ++m.ex.template_count;
      ++total_templates_;
      it = m.domain.templates.emplace(t.id, kdFlowTemplate()).first;
    }
    it->second = std::move(t);
    ++m.ex.counters.templates;

    kdPendingSets::Key key = m.key;
    key.template_id = it->first;
    for (kdPendingSets::Entry& e : pending_.Take(key)) {
      ++m.ex.counters.pending_decoded;
      DecodeRecords(m.ex, m.domain, it->second, e.key, e.clock, e.body.data(), e.body.size());
    }
  }

  // RFC 7011 8.1: a withdrawal of the set's own ID withdraws all templates of that kind.
  void Withdraw(Message& m, uint16_t id, bool options) {
    auto& templates = m.domain.templates;
    bool all = id == (options ? kIpfixOptionsSet : kIpfixTemplateSet);
    for (auto it = templates.begin(); it != templates.end();) {
      if ((all && it->second.options == options) || it->first == id) {
        it = templates.erase(it);
        --m.ex.template_count;
        --total_templates_;
        ++m.ex.counters.templates_withdrawn;
      } else {
        ++it;
      }
    }
  }

  void ReadDataSet(Message& m, uint16_t set_id, const uint8_t* body, size_t size, uint64_t now_ms) {
    auto it = m.domain.templates.find(set_id);
    kdPendingSets::Key key = m.key;
    key.template_id = set_id;
    if (it != m.domain.templates.end()) {
      m.data_records += DecodeRecords(m.ex, m.domain, it->second, key, m.clock, body, size);
      return;
    }
    m.held_data = true;
    ++m.ex.counters.pending_sets;
    kdPendingSets::Entry e{key, m.clock, now_ms, std::vector<uint8_t>(body, body + size)};
    pending_.Add(std::move(e), [this](const kdPendingSets::Key& k) { CountDropped(k); });
  }

  uint32_t DecodeRecords(Exporter& ex, Domain& d, const kdFlowTemplate& t,
                         const kdPendingSets::Key& key, kdRecordClock clock, const uint8_t* body,
                         size_t size) {
    kdWireReader r(body, size);
    clock.has_system_init = d.has_system_init;
    clock.system_init_ms = d.system_init_ms;
    uint32_t count = 0;
    // What is left that is shorter than a record is padding (RFC 7011 3.3.1).
    while (r.remaining() >= t.min_record_length) {
      kdRecordValues v;
      if (!kdReadRecordValues(r, t, clock, v)) {
        ++ex.counters.truncated_records;
        break;
      }
      ++count;
      if (t.options) {
        ++ex.counters.options_records;
        ApplyOptions(d, v);
        clock.has_system_init = d.has_system_init;
        clock.system_init_ms = d.system_init_ms;
        continue;
      }
      v.record.version = key.version;
      v.record.exporter = key.exporter;
      v.record.observation_domain = key.domain;
      ++ex.counters.records;
      Emit(v.record, RateOf(d, v));
    }
    return count;
  }

  static uint32_t RateOf(const Domain& d, const kdRecordValues& v) {
    if (v.rate != 0) return v.rate;
    if (v.has_sampler_id) {
      auto it = d.samplers.find(v.sampler_id);
      if (it != d.samplers.end()) return it->second;
    }
    return d.default_rate;
  }

  void ApplyOptions(Domain& d, const kdRecordValues& v) {
    if (v.has_system_init) {
      d.has_system_init = true;
      d.system_init_ms = v.system_init_ms;
    }
    if (v.rate == 0) return;
    if (!v.has_sampler_id) {
      d.default_rate = v.rate;
    } else if (d.samplers.count(v.sampler_id) != 0 ||
               d.samplers.size() < limits_.max_samplers_per_domain) {
      d.samplers[v.sampler_id] = v.rate;
    }
  }

  RecordFn on_record_;
  kdFlowCollectorLimits limits_;
  std::map<kdFlowExporter, Exporter> exporters_;
  kdPendingSets pending_;
  size_t total_templates_ = 0;
  uint64_t refused_datagrams_ = 0;
  std::vector<kdFlowRecord> v5_records_;
};

kdFlowCollector::kdFlowCollector(RecordFn on_record, kdFlowCollectorLimits limits)
    : impl_(std::make_unique<Impl>(std::move(on_record), limits)) {}
kdFlowCollector::~kdFlowCollector() = default;

void kdFlowCollector::Decode(const kdFlowExporter& from, const uint8_t* data, size_t size,
                             uint64_t now_ms) {
  impl_->Decode(from, data, size, now_ms);
}
void kdFlowCollector::Expire(uint64_t now_ms) {
  impl_->Expire(now_ms);
}
std::vector<std::pair<kdFlowExporter, kdFlowDecodeCounters>> kdFlowCollector::TakeCounters() {
  return impl_->TakeCounters();
}
uint64_t kdFlowCollector::TakeRefusedDatagrams() {
  return impl_->TakeRefusedDatagrams();
}
uint32_t kdFlowCollector::SamplingRate(const kdFlowExporter& exporter, uint16_t version,
                                       uint32_t domain) const {
  return impl_->SamplingRate(exporter, version, domain);
}
size_t kdFlowCollector::exporter_count() const {
  return impl_->exporter_count();
}
size_t kdFlowCollector::template_count() const {
  return impl_->template_count();
}
size_t kdFlowCollector::pending_bytes() const {
  return impl_->pending_bytes();
}

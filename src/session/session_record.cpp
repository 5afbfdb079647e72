// The record of a run, kept as the page's report reads it.
#include "session/session_record.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "session/js_values.hpp"

namespace solvera::session {
namespace {

constexpr std::array<const char*, 5> kBandNames{"delta", "theta", "alpha", "beta", "gamma"};
constexpr std::array<std::string_view, 6> kMetaKeys{"receivedAt", "timestamp", "time", "seq", "sequence", "id"};
constexpr std::array<std::string_view, 4> kStateTypes{"status", "contact", "battery", "packetLoss"};


double rounded(double value, double scale) { return jsRound(value * scale) / scale; }

bool finiteNumber(const OrderedJson& value) {
  return value.is_number() && std::isfinite(value.get<double>());
}

const OrderedJson* member(const OrderedJson& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

// The [name, value] readings of one event, as the page takes them.
std::vector<std::pair<std::string, double>> readings(const OrderedJson& event) {
  std::vector<std::pair<std::string, double>> out;
  const OrderedJson* type = member(event, "type");
  if (type != nullptr && type->is_string() &&
      std::find(kStateTypes.begin(), kStateTypes.end(), type->get<std::string>()) != kStateTypes.end()) {
    return out;
  }
  auto take = [&](const OrderedJson& object) {
    if (object.is_object()) {
      for (const auto& [key, value] : object.items()) {
        if (finiteNumber(value)) out.emplace_back(key, value.get<double>());
      }
    } else {
      for (std::size_t i = 0; i < object.size(); ++i) {
        if (finiteNumber(object[i])) out.emplace_back(std::to_string(i), object[i].get<double>());
      }
    }
  };
  const OrderedJson* channels = member(event, "channels");
  const OrderedJson* values = member(event, "values");
  const OrderedJson* listed = values != nullptr && values->is_array()       ? values
                              : channels != nullptr && channels->is_array() ? channels
                                                                            : nullptr;
  if (channels != nullptr && channels->is_object()) {
    take(*channels);
  } else if (listed != nullptr) {
    const OrderedJson& list = *listed;
    const OrderedJson* names = member(event, "channelNames");
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (!finiteNumber(list[i])) continue;
      std::string name = "ch" + std::to_string(i + 1);
      if (names != nullptr && names->is_array() && i < names->size() && !(*names)[i].is_null()) {
        const OrderedJson& n = (*names)[i];
        name = n.is_string() ? n.get<std::string>() : n.is_number() ? jsNumberText(n.get<double>()) : n.dump();
      }
      out.emplace_back(name, list[i].get<double>());
    }
  }
  const OrderedJson* bands = member(event, "bands");
  if (bands != nullptr && (bands->is_object() || bands->is_array())) take(*bands);
  for (const auto& [key, value] : event.items()) {
    if (std::find(kMetaKeys.begin(), kMetaKeys.end(), key) != kMetaKeys.end() || !finiteNumber(value)) continue;
    out.emplace_back(key, value.get<double>());
  }
  return out;
}

}  // namespace

void HeadbandSummary::add(const OrderedJson& events, int phase) {
  if (events.is_array()) {
    for (const OrderedJson& event : events) addOne(event, phase);
  } else {
    addOne(events, phase);
  }
}

void HeadbandSummary::addOne(const OrderedJson& event, int phase) {
  if (!event.is_object()) return;
  const OrderedJson* type = member(event, "type");
  const bool isType = type != nullptr && type->is_string();
  if (isType && *type == "status") {
    const OrderedJson* status = member(event, "status");
    if (status != nullptr && status->is_string() && (statuses_.empty() || statuses_.back() != status->get<std::string>())) {
      statuses_.push_back(status->get<std::string>());
    }
    return;
  }
  const auto values = readings(event);
  if (!values.empty()) ++count_;
  const OrderedJson* bands = member(event, "bands");
  if (isType && *type == "bands" && phase >= 0 && bands != nullptr && bands->is_object()) {
    std::array<double, 5> powers{};
    bool all = true;
    for (std::size_t i = 0; i < kBandNames.size(); ++i) {
      const OrderedJson* power = member(*bands, kBandNames[i]);
      if (power == nullptr) {
        all = false;
        break;
      }
      // Number(value), as the page reads a power.
      const double v = power->is_number()    ? power->get<double>()
                       : power->is_string()  ? jsNumberFromText(power->get<std::string>())
                       : power->is_boolean() ? (power->get<bool>() ? 1.0 : 0.0)
                       : power->is_null()    ? 0.0
                                             : std::numeric_limits<double>::quiet_NaN();
      if (!std::isfinite(v)) {
        all = false;
        break;
      }
      powers[i] = v;
    }
    if (all) {
      PhaseBands& p = phaseBands_[phase];
      ++p.n;
      for (std::size_t i = 0; i < powers.size(); ++i) p.sums[i] += powers[i];
    }
  }
  for (const auto& reading : values) {
    const std::string& name = reading.first;
    const double v = reading.second;
    auto it = std::find_if(stats_.begin(), stats_.end(), [&](const auto& s) { return s.first == name; });
    if (it == stats_.end()) {
      stats_.emplace_back(name, Stats{0, 0, v, v});
      it = stats_.end() - 1;
    }
    Stats& s = it->second;
    ++s.n;
    s.sum += v;
    s.min = std::min(s.min, v);
    s.max = std::max(s.max, v);
  }
}

OrderedJson HeadbandSummary::result() const {
  if (count_ == 0 && statuses_.empty()) return nullptr;
  OrderedJson series = OrderedJson::array();
  for (const auto& [name, s] : stats_) {
    series.push_back({{"name", name}, {"n", s.n}, {"mean", jsonNumber(s.sum / static_cast<double>(s.n))},
                      {"min", jsonNumber(s.min)}, {"max", jsonNumber(s.max)}});
  }
  OrderedJson phases = OrderedJson::array();
  for (const auto& [phase, p] : phaseBands_) {
    OrderedJson bands = OrderedJson::object();
    for (std::size_t i = 0; i < kBandNames.size(); ++i) bands[kBandNames[i]] = jsonNumber(p.sums[i] / static_cast<double>(p.n));
    phases.push_back({{"phase", phase}, {"n", p.n}, {"bands", std::move(bands)}});
  }
  return {{"readings", count_}, {"statuses", statuses_}, {"series", std::move(series)}, {"phases", std::move(phases)}};
}

void SessionRecord::start(const Session& session, const Timeline& timeline, Context context, double wallMs) {
  *this = SessionRecord();
  started_ = true;
  logInterval_ = std::min(kLogIntervalSeconds, std::max(1.0, timeline.durationS / 120));
  session_ = {{"id", session.id},
              {"title", session.title},
              {"titleEn", session.titleEn.value_or("")},
              {"goal", session.goal.value_or("")},
              {"goalEn", session.goalEn.value_or("")},
              {"category", session.category.value_or("")},
              {"categoryEn", session.categoryEn.value_or("")},
              {"audioMode", session.audioMode.value_or("")}};
  context_ = std::move(context);
  startedAt_ = wallMs;
  plannedS_ = timeline.durationS;
  phases_ = OrderedJson::array();
  for (const TimelinePhase& p : timeline.phases) {
    phases_.push_back({{"name", p.name},
                       {"nameEn", p.nameEn},
                       {"plannedStartS", jsonNumber(p.startS)},
                       {"plannedEndS", jsonNumber(p.endS)},
                       {"reachedAtS", nullptr},
                       {"beat", {jsonNumber(p.start.beatHz), jsonNumber(p.end.beatHz)}},
                       {"light", {jsonNumber(p.start.lightHz), jsonNumber(p.end.lightHz)}},
                       {"carrier", {jsonNumber(p.start.carrierHz), jsonNumber(p.end.carrierHz)}},
                       {"colorHex", rgbToHex(p.start.r, p.start.g, p.start.b)},
                       {"rgbIntensity", jsonNumber(p.start.rgbIntensity)},
                       {"whiteIntensity", jsonNumber(p.start.whiteIntensity)},
                       {"pulseShape", p.discrete.pulseShape},
                       {"noiseType", p.discrete.noiseType}});
  }
  log_ = OrderedJson::array();
  events_ = OrderedJson::array();
}

void SessionRecord::sample(const TimelineSample& sample) {
  if (!active()) return;
  elapsedS_ = std::max(elapsedS_, sample.time);
  const Moment moment{sample.time, sample.phaseIndex, sample.values};
  lastSample_ = moment;
  const bool phaseChanged = sample.phaseIndex != lastPhase_;
  if (phaseChanged) {
    lastPhase_ = sample.phaseIndex;
    if (sample.phaseIndex >= 0 && static_cast<std::size_t>(sample.phaseIndex) < phases_.size()) {
      OrderedJson& phase = phases_[static_cast<std::size_t>(sample.phaseIndex)];
      if (phase["reachedAtS"].is_null()) phase["reachedAtS"] = jsonNumber(sample.time);
    }
  }
  if (phaseChanged || !logged_ || sample.time - lastLogS_ >= logInterval_) log(moment);
}

void SessionRecord::log(const Moment& m) {
  if (log_.size() >= kMaxLog) return;
  lastLogS_ = m.time;
  logged_ = true;
  log_.push_back({{"t", jsonNumber(rounded(m.time, 10))},
                  {"phase", m.phaseIndex},
                  {"beatHz", jsonNumber(rounded(m.values.beatHz, 100))},
                  {"lightHz", jsonNumber(rounded(m.values.lightHz, 100))},
                  {"carrierHz", jsonNumber(rounded(m.values.carrierHz, 10))},
                  {"color", rgbToHex(m.values.r, m.values.g, m.values.b)},
                  {"rgbIntensity", jsonNumber(jsRound(m.values.rgbIntensity))},
                  {"whiteIntensity", jsonNumber(jsRound(m.values.whiteIntensity))}});
}

void SessionRecord::mark(std::string_view kind, double elapsedS, double wallMs) {
  if (!active()) return;
  events_.push_back({{"kind", kind}, {"atS", jsonNumber(jsRound(elapsedS))}, {"at", jsonNumber(wallMs)}});
}

void SessionRecord::headband(const OrderedJson& events) {
  if (active()) summary_.add(events, lastPhase_);
}

void SessionRecord::finish(std::string_view outcome, double elapsedS, double wallMs) {
  if (!active()) return;
  // The last moment played closes the course.
  if (lastSample_ && (!logged_ || lastSample_->time > lastLogS_)) log(*lastSample_);
  endedAt_ = wallMs;
  outcome_ = std::string(outcome);
  elapsedS_ = outcome == "finished" ? plannedS_ : std::max(elapsedS_, elapsedS);
  headband_ = summary_.result();
}

OrderedJson SessionRecord::toJson() const {
  if (!started_) return nullptr;
  return {{"session", session_},
          {"context", {{"audioMode", context_.audioMode}, {"outputMode", context_.outputMode}, {"lightPulse", context_.lightPulse}}},
          {"startedAt", jsonNumber(startedAt_)},
          {"endedAt", endedAt_ ? jsonNumber(*endedAt_) : OrderedJson(nullptr)},
          {"outcome", outcome_.empty() ? OrderedJson(nullptr) : OrderedJson(outcome_)},
          {"plannedS", jsonNumber(plannedS_)},
          {"elapsedS", jsonNumber(elapsedS_)},
          {"phases", phases_},
          {"log", log_},
          {"events", events_},
          {"headband", endedAt_ ? headband_ : summary_.result()}};
}

}  // namespace solvera::session

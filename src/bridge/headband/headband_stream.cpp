// Assembling the four electrodes' packets into events.
#include "bridge/headband/headband_stream.hpp"

#include <cmath>

#include <nlohmann/json.hpp>

namespace solvera::headband {

namespace {

double rounded(double value, double scale) {
  return std::round(value * scale) / scale;
}

}  // namespace

HeadbandStream::HeadbandStream(Sink sink) : sink_(std::move(sink)) {}

std::uint64_t HeadbandStream::packetsLost() const {
  std::uint64_t lost = 0;
  for (const auto& c : channels_) lost += c.sequence.lostTotal();
  return lost;
}

void HeadbandStream::restart() {
  for (auto& c : channels_) {
    c.sequence.reset();
    c.window.clear();
    c.reported.reset();
  }
  group_ = {};
  samplesSinceAnalysis_ = 0;
  hops_ = 0;
}

void HeadbandStream::eeg(std::size_t channel, std::span<const std::uint8_t> value) {
  if (channel >= channels_.size()) return;
  auto packet = decodeEegPacket(value);
  if (!packet) return;
  Channel& c = channels_[channel];
  const auto step = c.sequence.next(packet->sequence);
  if (step.duplicate) return;
  ++received_;
  if (step.lost > kMaxBridgedPackets) {
    c.window.clear();
  } else if (step.lost > 0 && c.window.size() > 0) {
    const double hold = c.window.last();
    for (std::uint32_t i = 0; i < step.lost * kSamplesPerPacket; ++i) c.window.push(hold);
  }
  for (double uv : packet->microvolts) c.window.push(uv);

  if (group_.sequence && *group_.sequence != packet->sequence) flushGroup();
  group_.sequence = packet->sequence;
  group_.packets[channel] = *packet;
  bool complete = true;
  for (const auto& p : group_.packets) complete = complete && p.has_value();
  if (complete) flushGroup();
}

void HeadbandStream::flushGroup() {
  Event channels = Event::object();
  Event samples = Event::object();
  for (std::size_t i = 0; i < group_.packets.size(); ++i) {
    const auto& p = group_.packets[i];
    if (!p) continue;
    Event list = Event::array();
    for (double uv : p->microvolts) list.push_back(rounded(uv, 100));
    channels[kEegChannelNames[i]] = rounded(p->microvolts.back(), 100);
    samples[kEegChannelNames[i]] = std::move(list);
  }
  Event event;
  event["type"] = "eeg";
  event["sequence"] = *group_.sequence;
  event["channels"] = std::move(channels);
  event["samples"] = std::move(samples);
  group_ = {};
  sink_(std::move(event));

  samplesSinceAnalysis_ += kSamplesPerPacket;
  if (samplesSinceAnalysis_ >= kHopSamples) {
    samplesSinceAnalysis_ -= kHopSamples;
    analyse();
  }
}

void HeadbandStream::analyse() {
  const bool report = ++hops_ % kReportEveryHops == 1;
  BandValues sum{};
  Event used = Event::array();
  for (std::size_t i = 0; i < channels_.size(); ++i) {
    Channel& c = channels_[i];
    if (!c.window.full()) continue;
    c.window.copyTo(scratch_);
    const double v = variance(scratch_);
    const Contact contact = contactOfVariance(v);
    if (report || c.reported != contact) {
      c.reported = contact;
      Event event;
      event["type"] = "contact";
      event["channel"] = kEegChannelNames[i];
      event["quality"] = contactName(contact);
      event["variance"] = rounded(v, 10);
      sink_(std::move(event));
    }
    if (contact != Contact::Good) continue;
    const BandValues relative = spectrum_.relativeBandPowers(scratch_, kSampleRateHz);
    for (std::size_t b = 0; b < sum.size(); ++b) sum[b] += relative[b];
    used.push_back(kEegChannelNames[i]);
  }
  if (!used.empty()) {
    Event bands = Event::object();
    for (std::size_t b = 0; b < sum.size(); ++b) {
      bands[kBandNames[b]] = rounded(sum[b] / static_cast<double>(used.size()), 1e4);
    }
    Event event;
    event["type"] = "bands";
    event["bands"] = std::move(bands);
    event["electrodes"] = std::move(used);
    sink_(std::move(event));
  }
  if (report && packetsLost() != reportedLost_) {
    reportedLost_ = packetsLost();
    Event event;
    event["type"] = "packetLoss";
    event["lost"] = reportedLost_;
    event["received"] = received_;
    sink_(std::move(event));
  }
}

void HeadbandStream::telemetry(std::span<const std::uint8_t> value) {
  if (auto percent = decodeBatteryPercent(value)) battery(*percent);
}

void HeadbandStream::control(std::span<const std::uint8_t> value) {
  for (const auto& text : replies_.add(value)) {
    auto reply = Event::parse(text, nullptr, false);
    if (reply.is_object() && reply.contains("bp") && reply["bp"].is_number()) {
      battery(reply["bp"].get<double>());
    }
  }
}

void HeadbandStream::battery(double percent) {
  const double value = rounded(percent, 10);
  if (reportedBattery_ && std::abs(*reportedBattery_ - value) < 1.0) return;
  reportedBattery_ = value;
  Event event;
  event["type"] = "battery";
  event["percent"] = value;
  sink_(std::move(event));
}

}  // namespace solvera::headband

// Cipher, codec and loopback round-trip costs of the MQTT path.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <benchmark/benchmark.h>
#include <openssl/blowfish.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "channels/crypt_tool.h"
#include "channels/lum_mqtt_server.h"
#include "mqtt/mqtt_protocol.h"
#include "support/mosquitto_fixture.h"

namespace orvane {
namespace {

const std::string KEY = "3141592653";

// Per packet with the key schedule computed once, as the channel does.
void BM_CryptKey(benchmark::State& AState) {
  std::vector<uint8_t> data(size_t(AState.range(0)), 0x5A);
  const TCryptKey key(KEY);
  for (auto _ : AState) {
    key.Encrypt(data.data(), uint32_t(data.size()));
    benchmark::DoNotOptimize(data.data());
  }
  AState.SetBytesProcessed(int64_t(AState.iterations()) * AState.range(0));
}
BENCHMARK(BM_CryptKey)->Arg(64)->Arg(1024)->Arg(32768);

// One call per packet: key schedule plus the whole blocks of ASize bytes (the stateless form).
void BM_EncryptBuffer(benchmark::State& AState) {
  std::vector<uint8_t> data(size_t(AState.range(0)), 0x5A);
  for (auto _ : AState) {
    EncryptBuffer(data.data(), uint32_t(data.size()), KEY);
    benchmark::DoNotOptimize(data.data());
  }
  AState.SetBytesProcessed(int64_t(AState.iterations()) * AState.range(0));
}
BENCHMARK(BM_EncryptBuffer)->Arg(64)->Arg(1024)->Arg(32768);

// The reference: libcrypto with its key set up once.
void BM_LibcryptoBlowfish(benchmark::State& AState) {
  std::vector<uint8_t> data(size_t(AState.range(0)), 0x5A);
  BF_KEY key;
  BF_set_key(&key, int(KEY.size()), reinterpret_cast<const unsigned char*>(KEY.data()));
  for (auto _ : AState) {
    for (size_t pos = 0; pos + 8 <= data.size(); pos += 8)
      BF_ecb_encrypt(data.data() + pos, data.data() + pos, &key, BF_ENCRYPT);
    benchmark::DoNotOptimize(data.data());
  }
  AState.SetBytesProcessed(int64_t(AState.iterations()) * AState.range(0));
}
BENCHMARK(BM_LibcryptoBlowfish)->Arg(64)->Arg(1024)->Arg(32768);

void BM_CodecEncodePublish1K(benchmark::State& AState) {
  TMQTTProtocolClient codec;
  const TBytes payload(1024, 0xA5);
  for (auto _ : AState) {
    TBytes packet = codec.CommandPublish("orvane/port1", payload, 0, TQualityOfService::QoS0, false, false);
    benchmark::DoNotOptimize(packet.data());
  }
  AState.SetBytesProcessed(int64_t(AState.iterations()) * 1024);
}
BENCHMARK(BM_CodecEncodePublish1K);

void BM_CodecDecodePublish1K(benchmark::State& AState) {
  TMQTTProtocolClient codec;
  const TBytes packet =
      codec.CommandPublish("orvane/port1", TBytes(1024, 0xA5), 0, TQualityOfService::QoS0, false, false);
  std::string topic;
  TBytes payload;
  uint16_t id;
  TQualityOfService qos;
  bool retain, duplicate;
  for (auto _ : AState) {
    bool ok = TMQTTProtocolClient::DecodePublish(packet, topic, payload, id, qos, retain, duplicate);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(payload.data());
  }
  AState.SetBytesProcessed(int64_t(AState.iterations()) * 1024);
}
BENCHMARK(BM_CodecDecodePublish1K);

// 64 bytes from channel A to channel B, echoed by B back to A, through a real
// mosquitto on loopback; argument 1: the broker with set_tcp_nodelay. Both channels are driven from this
// thread, as a worker would drive one (ReadData in a tight loop instead of every 1 ms).
void BM_ChannelRoundTrip64(benchmark::State& AState) {
  test::TMosquitto::TOptions options;
  options.TcpNoDelay = AState.range(0) != 0;
  test::TMosquitto broker(options);
  TLumPortParams params;
  params.Init();
  params.MqttHost = "127.0.0.1:" + std::to_string(broker.Port());
  params.MqttTopic = "bench/rt";
  params.MqttSecurityKey = 77;
  params.MqttUserName.clear();
  std::string atA;
  std::shared_ptr<TLumMqttServer> b;
  params.ComName = "A";
  auto a = std::make_shared<TLumMqttServer>(params, [&](const std::string& AData) { atA += AData; });
  params.ComName = "B";
  b = std::make_shared<TLumMqttServer>(params,
                                       [&](const std::string& AData) { b->Send_String(AData, 0, false); });
  if (!a->Open("", 0, 0) || !b->Open("", 0, 0)) {
    AState.SkipWithError("no broker");
    return;
  }
  const std::string block(64, 'r');
  auto roundTrip = [&](std::chrono::nanoseconds ALimit) {
    atA.clear();
    const auto start = std::chrono::steady_clock::now();
    a->Send_String(block, 0, false);
    while (atA.size() < block.size()) {
      b->ReadData();
      a->ReadData();
      if (std::chrono::steady_clock::now() - start > ALimit) return false;
    }
    return true;
  };
  // Until both subscriptions are in place.
  while (!roundTrip(std::chrono::milliseconds(200))) {
  }
  std::vector<double> samples;
  for (auto _ : AState) {
    const auto start = std::chrono::steady_clock::now();
    if (!roundTrip(std::chrono::seconds(10))) {
      AState.SkipWithError("round trip lost");
      break;
    }
    const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
    samples.push_back(took.count());
    AState.SetIterationTime(took.count() / 1e6);
  }
  if (samples.empty()) return;
  std::sort(samples.begin(), samples.end());
  AState.counters["median_us"] = samples[samples.size() / 2];
  AState.counters["p99_us"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
}
BENCHMARK(BM_ChannelRoundTrip64)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(2000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace orvane

BENCHMARK_MAIN();

#include "bench/zmq_peer.h"

#include <sched.h>
#include <zmq.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/bus_harness.h"

namespace bench {
namespace {

constexpr uint64_t kStep = 64;

std::string Endpoint(uint32_t index) { return "inproc://bench-pub-" + std::to_string(index); }

void Require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "bench: %s: %s\n", what, zmq_strerror(zmq_errno()));
  std::exit(2);
}

void SetNoHighWaterMark(void* socket) {
  // The harness's window bounds what is in flight; a high-water mark would
  // make the PUB socket drop instead.
  const int unlimited = 0;
  zmq_setsockopt(socket, ZMQ_SNDHWM, &unlimited, sizeof unlimited);
  zmq_setsockopt(socket, ZMQ_RCVHWM, &unlimited, sizeof unlimited);
}

uint64_t SlowestDelivered(const BenchControl& control) {
  uint64_t slowest = UINT64_MAX;
  for (uint32_t i = 0; i < control.subscribers; ++i)
    slowest = std::min(slowest, control.delivered[i].value.load(std::memory_order_acquire));
  return slowest;
}

void PublishCount(BenchControl& control, uint64_t& pending) {
  const uint64_t written = control.written.value.fetch_add(pending) + pending;
  pending = 0;
  while (static_cast<int64_t>(written - SlowestDelivered(control)) > static_cast<int64_t>(control.window))
    sched_yield();
}

}  // namespace

ZmqPeer::ZmqPeer(BenchControl& control) : control_(control) {
  context_ = zmq_ctx_new();
  Require(context_ != nullptr, "zmq_ctx_new");
  for (uint32_t i = 0; i < control.producers; ++i) threads_.emplace_back([this, i] { Publish(i); });
  // inproc needs the bind before the connect.
  while (bound_.load() != control.producers) std::this_thread::yield();
  for (uint32_t i = 0; i < control.subscribers; ++i) threads_.emplace_back([this, i] { Subscribe(i); });
  while (heard_.load() != control.producers * control.subscribers)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

ZmqPeer::~ZmqPeer() {
  QuitProducers(control_);
  for (std::thread& thread : threads_) thread.join();
  zmq_ctx_term(context_);
}

void ZmqPeer::Publish(uint32_t index) {
  void* socket = zmq_socket(context_, ZMQ_PUB);
  Require(socket != nullptr, "zmq_socket");
  SetNoHighWaterMark(socket);
  Require(zmq_bind(socket, Endpoint(index).c_str()) == 0, "zmq_bind");
  bound_.fetch_add(1);
  // Subscriptions reach a PUB socket asynchronously: one-byte probes until
  // every subscriber has heard every publisher.
  const unsigned char probe = static_cast<unsigned char>(index);
  while (heard_.load() != control_.producers * control_.subscribers) {
    zmq_send(socket, &probe, 1, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::vector<unsigned char> payload(control_.payload, 'p');
  uint32_t seen = 0;
  while (control_.quit.load() == 0) {
    const uint32_t round = control_.round.value.load(std::memory_order_acquire);
    if (round == seen) {
      control_.round.Wait(round);
      continue;
    }
    seen = round;
    if (control_.quit.load() != 0) break;
    uint64_t pending = 0;
    for (uint64_t i = 0; i < control_.eventsPerProducer; ++i) {
      // zmq_send copies the payload into a message of its own, as the write
      // path copies it into a block.
      Require(zmq_send(socket, payload.data(), payload.size(), 0) == static_cast<int>(payload.size()),
              "zmq_send");
      if (++pending == kStep) PublishCount(control_, pending);
    }
    if (pending != 0) PublishCount(control_, pending);
    control_.producersDone.Raise();
  }
  // The end marker: every subscriber stops at the first empty message.
  if (index == 0) zmq_send(socket, "", 0, 0);
  zmq_close(socket);
}

void ZmqPeer::Subscribe(uint32_t index) {
  void* socket = zmq_socket(context_, ZMQ_SUB);
  Require(socket != nullptr, "zmq_socket");
  SetNoHighWaterMark(socket);
  Require(zmq_setsockopt(socket, ZMQ_SUBSCRIBE, "", 0) == 0, "zmq_setsockopt");
  for (uint32_t i = 0; i < control_.producers; ++i)
    Require(zmq_connect(socket, Endpoint(i).c_str()) == 0, "zmq_connect");
  uint32_t heardFrom = 0;  // bit per publisher
  std::atomic<uint64_t>& delivered = control_.delivered[index].value;
  zmq_msg_t message;
  zmq_msg_init(&message);
  for (;;) {
    if (zmq_msg_recv(&message, socket, 0) < 0) continue;
    const size_t size = zmq_msg_size(&message);
    const auto* bytes = static_cast<const unsigned char*>(zmq_msg_data(&message));
    if (size == 0) break;
    if (size == 1 && control_.payload != 1) {
      const uint32_t bit = 1u << bytes[0];
      if ((heardFrom & bit) == 0) {
        heardFrom |= bit;
        heard_.fetch_add(1);
      }
      continue;
    }
    std::atomic<uint64_t>& sink = control_.sink[index].value;
    sink.store(sink.load(std::memory_order_relaxed) + bytes[0] + bytes[size - 1], std::memory_order_relaxed);
    const uint64_t count = delivered.load(std::memory_order_relaxed) + 1;
    delivered.store(count, std::memory_order_release);
    if (count == control_.expected.load(std::memory_order_acquire)) {
      control_.subscribersDone.Raise();
    }
  }
  zmq_msg_close(&message);
  zmq_close(socket);
}

}  // namespace bench

// The ZeroMQ peer of the bus benchmark: inproc PUB/SUB with one publisher
// socket per producer and one subscriber socket per consumer, driven through
// the same control block, rounds and in-flight window as the bus's plugins.
// Deliveries are counted where they arrive, at the subscribers.
#ifndef BENCH_ZMQ_PEER_H_
#define BENCH_ZMQ_PEER_H_

#include <thread>
#include <vector>

#include "bench/plugins/bench_control.h"

namespace bench {

class ZmqPeer {
 public:
  // Starts the sockets' threads and waits until every subscriber hears every
  // publisher.
  explicit ZmqPeer(BenchControl& control);
  // Ends the threads and the context.
  ~ZmqPeer();
  ZmqPeer(const ZmqPeer&) = delete;
  ZmqPeer& operator=(const ZmqPeer&) = delete;

 private:
  void Publish(uint32_t index);
  void Subscribe(uint32_t index);

  BenchControl& control_;
  void* context_ = nullptr;
  std::atomic<uint32_t> bound_{0};
  std::atomic<uint32_t> heard_{0};  // (subscriber, publisher) pairs that met
  std::vector<std::thread> threads_;
};

}  // namespace bench

#endif  // BENCH_ZMQ_PEER_H_

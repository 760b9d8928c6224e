#pragma once
// A loopback proxy in front of a service that breaks one chosen request the way networks do:
// the connection reset before the request is forwarded or halfway through its body, closed after
// the service answered, a gateway's 502, 503 or 504 after forwarding, a stall past the client's
// patience, or an answer cut short. Every other request passes untouched.

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace testing_support {

enum class Fault {
  kResetBeforeForwarding,  // the request read whole, then the connection reset
  kResetInBody,            // reset once half the body has arrived
  kCloseAfterAnswer,       // forwarded and answered; the connection closed instead of answering
  kBadGateway,             // forwarded; answered 502
  kUnavailable,            // forwarded; answered 503
  kGatewayTimeout,         // forwarded; answered 504
  kStall,                  // forwarded; nothing more until the client gives up
  kCutAnswer,              // forwarded; half the service's answer, then closed
};

inline constexpr Fault kEveryFault[] = {Fault::kResetBeforeForwarding,
                                        Fault::kResetInBody,
                                        Fault::kCloseAfterAnswer,
                                        Fault::kBadGateway,
                                        Fault::kUnavailable,
                                        Fault::kGatewayTimeout,
                                        Fault::kStall,
                                        Fault::kCutAnswer};

const char* fault_name(Fault fault);

class FaultProxy {
 public:
  explicit FaultProxy(int service_port);
  ~FaultProxy();
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  int port() const { return port_; }
  // The `nth` request to `path` from now on (1: the next one) meets `fault`; one armed before is
  // forgotten.
  void arm(const std::string& path, int nth, Fault fault);
  // Whether the armed fault has struck.
  bool struck() const;
  // Requests seen for `path` since it was last armed.
  int seen(const std::string& path) const;

 private:
  void serve();
  void relay(int client);

  int service_port_;
  int listener_ = -1;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::string armed_path_;
  int armed_nth_ = 0;
  Fault armed_fault_ = Fault::kResetBeforeForwarding;
  bool struck_ = false;
  std::map<std::string, int> seen_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> active_{0};  // connections being relayed
  std::thread thread_;
};

}  // namespace testing_support

#include "Tools/Client/DaemonClient.hpp"

#include "HushwallCore/Strings.hpp"

namespace hushwall {

std::expected<std::unique_ptr<DaemonClient>, Failure> DaemonClient::connect(std::string queueLabel) {
  std::unique_ptr<DaemonClient> client(new DaemonClient());
  client->queue_ = std::make_unique<SerialQueue>(std::move(queueLabel));
  auto connection = BusConnection::openSystem(*client->queue_);
  if (!connection) {
    return std::unexpected(
        Failure{ExitCode::unavailable, cat("cannot connect to the system bus: ", connection.error().message)});
  }
  client->connection_ = std::move(*connection);
  return client;
}

DaemonClient::~DaemonClient() { connection_.reset(); }

std::expected<std::string, BusError> DaemonClient::call(const ServiceAddress& service, std::string_view method,
                                                        std::optional<std::string_view> payload,
                                                        std::chrono::milliseconds timeout) const {
  return connection_->call(std::string(service.busName), std::string(service.objectPath),
                           std::string(service.interface), std::string(method), payload, timeout);
}

}  // namespace hushwall

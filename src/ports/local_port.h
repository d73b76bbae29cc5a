#pragma once

#include "ports/port_bridge.h"

namespace orvane {

// A port bridge as its owner holds it, virtual or physical: the shared bridge
// and what only the local port decides.
// Threads: the main thread (see TPortBridge for the bridge's own calls).
class ILocalPort {
 public:
  virtual ~ILocalPort() = default;

  // Creates or opens the local port; the first call starts the worker.
  virtual bool CreatePort() = 0;
  // An application holds the port open (never for a physical port).
  virtual bool IsOpened() const = 0;
  // Virtual: removes the port and its link. Physical: closes the serial port.
  virtual bool Delete() = 0;
  // Stops the worker and waits for it, then releases the channel; the local
  // port itself stays until destruction. Later calls do nothing.
  virtual void StopWorker() = 0;
  virtual TPortBridge& Bridge() = 0;
  virtual const TPortBridge& Bridge() const = 0;
};

}  // namespace orvane

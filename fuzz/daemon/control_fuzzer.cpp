// Feeds arbitrary datagrams, and well-framed requests with arbitrary
// payloads, to the daemon's control service. Whatever a client sends, the
// service must answer with a well-formed response and never crash.
#include "common/control_protocol.h"
#include "driver/daemon/control_service.h"
#include "driver/vorpil_driver.h"

#include <cstdint>
#include <cstdlib>
#include <span>

namespace {

struct Fixture {
    Fixture()
    {
        host.registerDriver(driver::kHardwareId, portDriver);
        (void)host.start();
        common::ControlWriter install;
        install.text("ZORV\\Rure");
        install.text("COM5");
        (void)service.handle(session, common::encodeRequest(common::ControlOp::InstallNode, install.payload()));
    }
    driver::VorpilDriver portDriver;
    driver::host::Host host; // registry in memory only
    driver::daemon::ControlService service { host, nullptr };
    driver::daemon::ControlSession session;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Fixture fixture;
    if (size == 0)
        return 0;
    std::vector<std::uint8_t> answer;
    if (data[0] & 1) {
        // A raw datagram, framing and all.
        answer = fixture.service.handle(fixture.session, std::span(data + 1, size - 1));
    } else if (size >= 2) {
        // A well-framed request: operation from the input, payload arbitrary.
        const auto operation = static_cast<common::ControlOp>(data[1] % 24);
        answer
            = fixture.service.handle(fixture.session, common::encodeRequest(operation, std::span(data + 2, size - 2)));
    }
    common::ControlResponse response;
    if (!answer.empty() && !common::decodeResponse(answer, response))
        std::abort(); // every answer must be well-formed
    return 0;
}

// Reads a universe back from olad through OLA's own client API:
//   glowtern_e2e_ola_fetch UNIVERSE
// prints its channel values on one line (as many as olad holds), or fails (status 1) when
// olad does not answer within two seconds or has no such universe.
#include <cstdio>
#include <cstdlib>

#include <ola/Callback.h>
#include <ola/DmxBuffer.h>
#include <ola/client/ClientWrapper.h>
#include <ola/client/OlaClient.h>
#include <ola/io/SelectServer.h>

namespace {

ola::io::SelectServer* loop = nullptr;
int status = 1;

void received(const ola::client::Result& result, const ola::client::DMXMetadata&,
              const ola::DmxBuffer& buffer) {
    if (result.Success()) {
        for (unsigned channel = 0; channel < buffer.Size(); ++channel) {
            std::printf(channel == 0 ? "%u" : " %u", buffer.Get(channel));
        }
        std::printf("\n");
        status = 0;
    } else {
        std::fprintf(stderr, "olad: %s\n", result.Error().c_str());
    }
    loop->Terminate();
}

void timedOut() {
    std::fprintf(stderr, "olad did not answer\n");
    loop->Terminate();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s UNIVERSE\n", argv[0]);
        return 2;
    }
    ola::client::OlaClientWrapper wrapper(false);  // never starts olad
    if (!wrapper.Setup()) {
        return 1;
    }
    loop = wrapper.GetSelectServer();
    loop->RegisterSingleTimeout(2000, ola::NewSingleCallback(&timedOut));
    wrapper.GetClient()->FetchDMX(static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)),
                                  ola::NewSingleCallback(&received));
    loop->Run();
    return status;
}

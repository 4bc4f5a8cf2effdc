// Reads a universe back from olad through OLA's own client API, as any OLA program would:
//   glowtern_e2e_ola_fetch UNIVERSE
// prints its channel values on one line, or fails (status 1) when olad does not answer within
// two seconds or has no such universe.
#include <cstdio>
#include <cstdlib>

#include <ola/Callback.h>
#include <ola/DmxBuffer.h>
#include <ola/client/ClientWrapper.h>

namespace {

ola::client::OlaClientWrapper wrapper(false);  // never starts olad
int status = 1;

void Received(const ola::client::Result& result, const ola::client::DMXMetadata&,
              const ola::DmxBuffer& buffer) {
    if (result.Success()) {
        std::printf("%s\n", buffer.ToString().c_str());  // "v,v,...,v"
        status = 0;
    }
    wrapper.GetSelectServer()->Terminate();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || !wrapper.Setup()) {
        return 1;
    }
    ola::io::SelectServer* loop = wrapper.GetSelectServer();
    loop->RegisterSingleTimeout(2000,
                                ola::NewSingleCallback(loop, &ola::io::SelectServer::Terminate));
    wrapper.GetClient()->FetchDMX(static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)),
                                  ola::NewSingleCallback(&Received));
    loop->Run();
    return status;
}

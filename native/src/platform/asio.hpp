#pragma once
// ASIO buffer-size query. No build has ASIO (PortAudio needs Steinberg's SDK for
// it): the built-in query always fails.
// The query goes through a pointer so that tests can script an ASIO driver.

namespace velmora::platform {

// Same contract as PortAudio's ASIO extension: 0 on success, else a PortAudio
// error code, leaving the outputs untouched.
using AsioBufferSizeQuery = int (*)(int deviceIndex, long* minSize, long* maxSize, long* preferredSize,
                                    long* granularity);

int noAsioBufferSizes(int deviceIndex, long* minSize, long* maxSize, long* preferredSize,
                      long* granularity);

// Current query; noAsioBufferSizes unless replaced.
AsioBufferSizeQuery asioBufferSizeQuery();
void setAsioBufferSizeQuery(AsioBufferSizeQuery query);

inline int asioGetAvailableBufferSizes(int deviceIndex, long* minSize, long* maxSize, long* preferredSize,
                                       long* granularity) {
    return asioBufferSizeQuery()(deviceIndex, minSize, maxSize, preferredSize, granularity);
}

}  // namespace velmora::platform

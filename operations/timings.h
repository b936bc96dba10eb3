// Every duration the operations wait for, in one value. The tool runs with the defaults;
// tests shorten them so that a time-out can be reached without waiting for it.
#pragma once

#include <chrono>

struct timings {
    // The synthesizer answers a request (a connection request, an export request, an import)
    // within this time, or the operation has failed.
    std::chrono::milliseconds answer{5000};
    // A preset export, once begun, ends within this time.
    std::chrono::milliseconds export_watch{5000};
    // How long "LOOK AT VORTAN" stays up while an update waits for its result.
    std::chrono::milliseconds update_hint{10000};
    // An update has failed when the synthesizer stays silent this long after the last byte
    // the tool sent it: the answer to the update request, and the verdict on the image,
    // which the unit gives once it has flashed it. Flashing its two megabytes takes a real
    // unit well under a minute; five minutes leaves room for a slow one, and the user is
    // never told to give up on a unit that is still writing.
    std::chrono::milliseconds update_verdict{std::chrono::minutes{5}};
    // The serial writer's write time-out and the interval of the serial reader's periodic
    // line while a port is open; both only write a debug line.
    std::chrono::milliseconds link_log{5000};
};

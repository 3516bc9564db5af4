// The class interface's isochronous requests on the model, through IRPs to a camera's child: a
// class driver loaded by the Plug and Play manager streams an IIDC camera into buffers of its own
// and checks every frame in its descriptor callbacks; stop, detach, free, bad requests, the
// bandwidth and channel books, a bus reset while listening, and a camera, a child or the
// controller going while the class driver has buffers attached.
#include "class_fixture.h"
#include "core/controller.h"

namespace {

constexpr ULONG kFrameBytes = 240 * 1280;

struct Mode {
    ULONG seed;
    ULONG direct;            // IsoDirectDMA
    bool reattachInCallback;
};

class ClassIsochTest : public ClassDriverTest {
protected:
    explicit ClassIsochTest(const hk::Options& options = hk::Options(), ULONG direct = 1)
        : ClassDriverTest(options, direct) {}
    void SetUp() override {
        ClassDriverTest::SetUp();
        ASSERT_NE(diskChild_, nullptr);
        ASSERT_TRUE(Controller()->IsCycleMaster);
        ASSERT_EQ(results_.started, 1);
        ASSERT_EQ(results_.commandBase, camera_->CommandBase());
    }

    NTSTATUS Send(IRB* irb, PDEVICE_OBJECT device = nullptr) {
        return testclass::SendIrb(device != nullptr ? device : child_, irb);
    }
    NTSTATUS Resource(ULONG flags, ULONG bytesPerFrame, ULONG bufferBytes, HANDLE* handle,
                      PDEVICE_OBJECT device = nullptr, ULONG channel = 0, ULONG strip = 1) {
        IRB irb{};
        irb.FunctionNumber = REQUEST_ISOCH_ALLOCATE_RESOURCES;
        irb.u.IsochAllocateResources.fulSpeed = SPEED_FLAGS_400;
        irb.u.IsochAllocateResources.fulFlags = flags;
        irb.u.IsochAllocateResources.nChannel = channel;
        irb.u.IsochAllocateResources.nMaxBytesPerFrame = bytesPerFrame;
        irb.u.IsochAllocateResources.nMaxBufferSize = bufferBytes;
        irb.u.IsochAllocateResources.nQuadletsToStrip = strip;
        NTSTATUS status = Send(&irb, device);
        if (handle != nullptr) *handle = irb.u.IsochAllocateResources.hResource;
        return status;
    }
    NTSTATUS OnResource(ULONG function, HANDLE handle, PDEVICE_OBJECT device = nullptr) {
        IRB irb{};
        irb.FunctionNumber = function;
        irb.u.IsochFreeResources.hResource = handle;  // first member of every resource request
        return Send(&irb, device);
    }
    NTSTATUS Buffers(ULONG function, HANDLE handle, ISOCH_DESCRIPTOR* descriptors, ULONG count) {
        IRB irb{};
        irb.FunctionNumber = function;
        irb.u.IsochAttachBuffers.hResource = handle;
        irb.u.IsochAttachBuffers.nNumberOfDescriptors = count;
        irb.u.IsochAttachBuffers.pIsochDescriptor = descriptors;
        return Send(&irb);
    }

    // Starts the class driver's stream and receives `frames` frames, handing each buffer back.
    void Stream(const testclass::StreamConfig& config, LONG frames) {
        ASSERT_EQ(testclass::StartStream(&results_, config), STATUS_SUCCESS);
        ASSERT_TRUE(camera_->IsoEnabled());
        Receive(frames);
    }
    void Receive(LONG frames) {
        LONG seen = results_.completionCount;
        for (LONG f = seen; f < seen + frames; ++f) {
            ASSERT_TRUE(testclass::WaitCompletions(&results_, f + 1)) << "completion " << f;
            const testclass::Completion& c = results_.completions[f];
            if (!results_.stream.reattachInCallback) {
                ASSERT_EQ(testclass::Reattach(&results_, c.buffer, 1), STATUS_SUCCESS);
            }
        }
    }
    // Completions [from, to) succeeded with whole frames, in rising order.
    void ExpectFrames(LONG from, LONG to) {
        for (LONG f = from; f < to; ++f) {
            const testclass::Completion& c = results_.completions[f];
            EXPECT_EQ(c.status, STATUS_SUCCESS) << "completion " << f;
            EXPECT_EQ(c.badBytes, 0u) << "completion " << f << " frame " << c.frame;
            if (f > from) {
                EXPECT_GT(c.frame, results_.completions[f - 1].frame) << "completion " << f;
            }
        }
    }
    LONG Count() const { return results_.completionCount; }
    ULONG Tag(char a, char b, char c, char d) { return hk::mm::TagCount(KX_TAG(a, b, c, d)); }
    void ExpectNoIsochRecords() {
        EXPECT_EQ(Tag('Z', 'B', '1', '9'), 0u);  // attached descriptors
        EXPECT_EQ(Tag('Z', 'B', '2', '7'), 0u);  // resources
        EXPECT_EQ(Tag('Z', 'O', 'I', 'M'), 0u);  // mappings
        EXPECT_EQ(Tag('Z', 'O', 'R', 'I'), 0u);  // copy-mode rings
    }

};

hk::Options Seeded(ULONG seed) {
    hk::Options options;
    options.seed = seed;
    return options;
}

// Under several scheduler seeds, into the caller's pages and through the driver's ring, with the
// buffers handed back by the class driver's thread or from the callback at DISPATCH_LEVEL (the
// attach then runs in a work item): whole frames in order; a stop with buffers attached ends each
// of them cancelled, once, before it completes; the free leaves no record.
class ClassStreamTest : public ClassIsochTest, public testing::WithParamInterface<Mode> {
protected:
    ClassStreamTest() : ClassIsochTest(Seeded(GetParam().seed), GetParam().direct) {}
};

TEST_P(ClassStreamTest, FramesArriveIntactAndInOrderThroughDescriptorCallbacks) {
    testclass::StreamConfig config;
    config.reattachInCallback = GetParam().reattachInCallback;
    Stream(config, 8);
    ExpectFrames(0, 8);
    EXPECT_EQ(results_.reattachFailures, 0);

    // The camera keeps sending; the stop ends every buffer still attached, cancelled, before it
    // completes, and nothing comes after it.
    testclass::StopReattaching(&results_);
    LONG before = Count();
    EXPECT_EQ(OnResource(REQUEST_ISOCH_STOP, results_.resource), STATUS_SUCCESS);
    LONG ended = Count();
    EXPECT_EQ(ended, results_.attaches);
    LONG cancelled = 0;
    for (LONG f = before; f < ended; ++f) cancelled += results_.completions[f].status == STATUS_CANCELLED ? 1 : 0;
    EXPECT_GE(cancelled, 1);
    hk::RunFor(200 * kMs100ns);
    EXPECT_EQ(Count(), ended);
    EXPECT_EQ(Child(child_)->Listening, 0u);
    EXPECT_EQ(OnResource(REQUEST_ISOCH_FREE_RESOURCES, results_.resource), STATUS_SUCCESS);
    results_.resource = nullptr;
    testclass::FreeBuffers(&results_);
    ExpectNoIsochRecords();
    EXPECT_EQ(Child(child_)->ResourceHandle, 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, ClassStreamTest,
                         testing::Values(Mode{1, 1, false}, Mode{7, 1, true}, Mode{42, 1, false}, Mode{1234, 1, true},
                                         Mode{1, 0, false}, Mode{7, 0, true}, Mode{42, 0, true}, Mode{1234, 0, false}));

// A stop sent from DISPATCH_LEVEL (as from a completion routine) is pending, runs in a work item
// and completes once, after every attached buffer came back.
struct RaisedStop {
    KEVENT done;
    volatile LONG completions = 0;
    NTSTATUS status = STATUS_PENDING;
    IRB irb{};
    static NTSTATUS Ended(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
        auto* stop = static_cast<RaisedStop*>(Context);
        InterlockedIncrement(&stop->completions);
        stop->status = Irp->IoStatus.Status;
        IoFreeIrp(Irp);
        KeSetEvent(&stop->done, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
};

TEST_F(ClassIsochTest, AStopFromDispatchLevelCompletesOnceFromAWorkItem) {
    testclass::StreamConfig config;
    Stream(config, 2);
    testclass::StopReattaching(&results_);
    RaisedStop stop;
    KeInitializeEvent(&stop.done, NotificationEvent, FALSE);
    stop.irb.FunctionNumber = REQUEST_ISOCH_STOP;
    stop.irb.u.IsochStop.hResource = results_.resource;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    NTSTATUS returned = testclass::SendIrbRaised(child_, &stop.irb, RaisedStop::Ended, &stop);
    KeLowerIrql(irql);
    EXPECT_EQ(returned, STATUS_PENDING);
    KeWaitForSingleObject(&stop.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(Count(), results_.attaches);
    hk::RunFor(100 * kMs100ns);
    EXPECT_EQ(stop.completions, 1);
    EXPECT_EQ(stop.status, STATUS_SUCCESS);
    EXPECT_EQ(Count(), results_.attaches);
    EXPECT_EQ(testclass::StopStream(&results_), STATUS_SUCCESS);
    ExpectNoIsochRecords();
}

// Detaching a descriptor never attached changes nothing; detaching one the context is filling takes
// it off at once (its memory may go at once: the model would report any write into it), and the
// other buffers go on receiving whole frames.
TEST_F(ClassIsochTest, DetachWhileListening) {
    testclass::StreamConfig config;
    Stream(config, 2);
    PUCHAR stray = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, kFrameBytes, testclass::kTagFrames));
    PMDL strayMdl = IoAllocateMdl(stray, kFrameBytes, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(strayMdl);
    ISOCH_DESCRIPTOR never = results_.buffers[0].descriptor;
    never.Mdl = strayMdl;
    EXPECT_EQ(Buffers(REQUEST_ISOCH_DETACH_BUFFERS, results_.resource, &never, 1), STATUS_SUCCESS);
    IoFreeMdl(strayMdl);
    ExFreePoolWithTag(stray, testclass::kTagFrames);
    LONG seen = Count();
    Receive(2);
    ExpectFrames(seen, seen + 2);

    // The buffer of the next frame is on the context: it goes, and its memory with it.
    LONG last = Count() - 1;
    ULONG next = (results_.completions[last].buffer + 1) % config.buffers;
    EXPECT_EQ(Buffers(REQUEST_ISOCH_DETACH_BUFFERS, results_.resource, &results_.buffers[next].descriptor, 1),
              STATUS_SUCCESS);
    testclass::FrameBuffer gone = results_.buffers[next];
    results_.buffers[next] = testclass::FrameBuffer{};
    IoFreeMdl(gone.mdl);
    ExFreePoolWithTag(gone.data, testclass::kTagFrames);
    seen = Count();
    Receive(4);
    ExpectFrames(seen, seen + 4);
    for (LONG f = seen; f < Count(); ++f) EXPECT_NE(results_.completions[f].buffer, next);
    EXPECT_EQ(testclass::StopStream(&results_), STATUS_SUCCESS);
    EXPECT_EQ(Count(), results_.attaches - 1);  // every buffer came back once, but the detached one
    ExpectNoIsochRecords();
}

// One resource per child; handles of another child or unknown ones, zero descriptors, buffers that
// cannot hold a frame and sizes no stream can have get clear statuses and leave nothing behind.
TEST_F(ClassIsochTest, ResourceRequestsAndBadInput) {
    const ULONG listen = RESOURCE_USED_IN_LISTENING | RESOURCE_STRIP_ADDITIONAL_QUADLETS;
    HANDLE first = nullptr, second = nullptr, disk = nullptr;
    ASSERT_EQ(Resource(listen, 1280, kFrameBytes, &first), STATUS_SUCCESS);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(Child(child_)->ResourceHandle, ULONGLONG(ULONG_PTR(first)));
    EXPECT_EQ(Resource(listen, 1280, kFrameBytes, &second), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(second, nullptr);
    ASSERT_EQ(Resource(listen, 1280, kFrameBytes, &disk, diskChild_), STATUS_SUCCESS);

    struct Row {
        const char* name;
        ULONG flags, bytesPerFrame, bufferBytes, channel, strip;
        NTSTATUS expected;
    };
    const Row rows[] = {
        {"nMaxBytesPerFrame 0", listen, 0, kFrameBytes, 0, 1, STATUS_INVALID_PARAMETER},
        {"a packet above 8192 bytes", listen, 8196, kFrameBytes, 0, 1, STATUS_INVALID_PARAMETER},
        {"a buffer smaller than a packet", listen, 1280, 1000, 0, 1, STATUS_INVALID_PARAMETER},
        {"more stripped than a packet holds", listen, 1280, kFrameBytes, 0, 322, STATUS_INVALID_PARAMETER},
        // The stripped bytes go to one page of scratch.
        {"more stripped than a page", listen, 8192, 32768, 0, 1100, STATUS_INVALID_PARAMETER},
        {"channel 64", listen, 1280, kFrameBytes, 64, 1, STATUS_INVALID_PARAMETER},
        {"multi-channel, packet based", listen | RESOURCE_USE_MULTICHANNEL | RESOURCE_USE_PACKET_BASED, 1280,
         kFrameBytes, 0, 1, STATUS_INVALID_PARAMETER},
        {"multi-channel", listen | RESOURCE_USE_MULTICHANNEL, 1280, kFrameBytes, 0, 1, STATUS_NOT_SUPPORTED},
        {"talking", RESOURCE_USED_IN_TALKING, 1280, kFrameBytes, 0, 1, STATUS_NOT_SUPPORTED},
        {"talking with a variable payload", RESOURCE_USED_IN_TALKING | RESOURCE_VARIABLE_ISOCH_PAYLOAD, 1280,
         kFrameBytes, 0, 1, STATUS_INVALID_PARAMETER},
        {"neither listening nor talking", 0, 1280, kFrameBytes, 0, 1, STATUS_INVALID_PARAMETER},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        HANDLE handle = nullptr;
        EXPECT_EQ(Resource(row.flags, row.bytesPerFrame, row.bufferBytes, &handle, nullptr, row.channel, row.strip),
                  row.expected);
        EXPECT_EQ(handle, nullptr);
    }

    // Buffers.
    PUCHAR data = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, kFrameBytes, testclass::kTagFrames));
    PMDL mdl = IoAllocateMdl(data, kFrameBytes, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    PMDL shortMdl = IoAllocateMdl(data, kFrameBytes - 4, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(shortMdl);
    ISOCH_DESCRIPTOR good{};
    good.Mdl = mdl;
    good.ulLength = kFrameBytes;
    good.nMaxBytesPerFrame = 1280;
    ISOCH_DESCRIPTOR shortLength = good, shortBuffer = good, noMdl = good;
    shortLength.ulLength = kFrameBytes - 4;
    shortBuffer.Mdl = shortMdl;
    noMdl.Mdl = nullptr;
    ISOCH_DESCRIPTOR pair[2] = {good, shortLength};
    struct BufferRow {
        const char* name;
        ULONG function;
        HANDLE handle;
        ISOCH_DESCRIPTOR* descriptors;
        ULONG count;
        NTSTATUS expected;
    };
    const BufferRow bufferRows[] = {
        {"attach of 0 descriptors", REQUEST_ISOCH_ATTACH_BUFFERS, first, &good, 0, STATUS_INVALID_PARAMETER},
        {"attach without descriptors", REQUEST_ISOCH_ATTACH_BUFFERS, first, nullptr, 1, STATUS_INVALID_PARAMETER},
        {"ulLength below the frame", REQUEST_ISOCH_ATTACH_BUFFERS, first, &shortLength, 1, STATUS_INVALID_PARAMETER},
        {"MDL below the frame", REQUEST_ISOCH_ATTACH_BUFFERS, first, &shortBuffer, 1, STATUS_INVALID_PARAMETER},
        {"no MDL", REQUEST_ISOCH_ATTACH_BUFFERS, first, &noMdl, 1, STATUS_INVALID_PARAMETER},
        {"a good and a short one", REQUEST_ISOCH_ATTACH_BUFFERS, first, pair, 2, STATUS_INVALID_PARAMETER},
        {"attach to another child's resource", REQUEST_ISOCH_ATTACH_BUFFERS, disk, &good, 1, STATUS_INVALID_HANDLE},
        {"attach to an unknown resource", REQUEST_ISOCH_ATTACH_BUFFERS, reinterpret_cast<HANDLE>(0x7777), &good, 1,
         STATUS_INVALID_HANDLE},
        {"detach of 0 descriptors", REQUEST_ISOCH_DETACH_BUFFERS, first, &good, 0, STATUS_INVALID_PARAMETER},
        {"detach from an unknown resource", REQUEST_ISOCH_DETACH_BUFFERS, nullptr, &good, 1, STATUS_INVALID_HANDLE},
        {"detach of one never attached", REQUEST_ISOCH_DETACH_BUFFERS, first, &good, 1, STATUS_SUCCESS},
    };
    for (const BufferRow& row : bufferRows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Buffers(row.function, row.handle, row.descriptors, row.count), row.expected);
    }
    EXPECT_EQ(Tag('Z', 'B', '1', '9'), 0u);
    for (ULONG function : {REQUEST_ISOCH_LISTEN, REQUEST_ISOCH_STOP, REQUEST_ISOCH_FREE_RESOURCES}) {
        SCOPED_TRACE(function);
        EXPECT_EQ(OnResource(function, disk), STATUS_INVALID_HANDLE);
        EXPECT_EQ(OnResource(function, nullptr), STATUS_INVALID_HANDLE);
    }
    // The stop ends nothing (nothing was attached); then the resource goes and another may come.
    EXPECT_EQ(OnResource(REQUEST_ISOCH_LISTEN, first), STATUS_SUCCESS);
    EXPECT_EQ(OnResource(REQUEST_ISOCH_STOP, first), STATUS_SUCCESS);
    EXPECT_EQ(OnResource(REQUEST_ISOCH_FREE_RESOURCES, first), STATUS_SUCCESS);
    EXPECT_EQ(OnResource(REQUEST_ISOCH_FREE_RESOURCES, first), STATUS_INVALID_HANDLE);
    EXPECT_EQ(Child(child_)->ResourceHandle, 0u);
    ASSERT_EQ(Resource(listen, 1280, kFrameBytes, &second), STATUS_SUCCESS);
    EXPECT_NE(second, first);
    EXPECT_EQ(OnResource(REQUEST_ISOCH_FREE_RESOURCES, second), STATUS_SUCCESS);
    EXPECT_EQ(OnResource(REQUEST_ISOCH_FREE_RESOURCES, disk, diskChild_), STATUS_SUCCESS);
    IoFreeMdl(mdl);
    IoFreeMdl(shortMdl);
    ExFreePoolWithTag(data, testclass::kTagFrames);
    ExpectNoIsochRecords();
}

// The local books: channels, bandwidth handles of this and of another child, allocations beyond
// what remains, a refused change, and what the query answers at each speed.
TEST_F(ClassIsochTest, BandwidthAndChannels) {
    auto channel = [&](ULONG requested, ULONG* got, PDEVICE_OBJECT device = nullptr) {
        IRB irb{};
        irb.FunctionNumber = REQUEST_ISOCH_ALLOCATE_CHANNEL;
        irb.u.IsochAllocateChannel.nRequestedChannel = requested;
        NTSTATUS status = Send(&irb, device);
        *got = irb.u.IsochAllocateChannel.Channel;
        return status;
    };
    auto bandwidth = [&](ULONG bytes, ULONG speed, HANDLE* handle, PDEVICE_OBJECT device = nullptr) {
        IRB irb{};
        irb.FunctionNumber = REQUEST_ISOCH_ALLOCATE_BANDWIDTH;
        irb.u.IsochAllocateBandwidth.nMaxBytesPerFrameRequested = bytes;
        irb.u.IsochAllocateBandwidth.fulSpeed = speed;
        NTSTATUS status = Send(&irb, device);
        *handle = irb.u.IsochAllocateBandwidth.hBandwidth;
        return status;
    };
    auto change = [&](HANDLE handle, ULONG bytes) {
        IRB irb{};
        irb.FunctionNumber = REQUEST_ISOCH_SET_CHANNEL_BANDWIDTH;
        irb.u.IsochSetChannelBandwidth.hBandwidth = handle;
        irb.u.IsochSetChannelBandwidth.nMaxBytesPerFrame = bytes;
        return Send(&irb);
    };
    auto freeBandwidth = [&](HANDLE handle, PDEVICE_OBJECT device = nullptr) {
        IRB irb{};
        irb.FunctionNumber = REQUEST_ISOCH_FREE_BANDWIDTH;
        irb.u.IsochFreeBandwidth.hBandwidth = handle;
        return Send(&irb, device);
    };
    auto query = [&](ULONG speed, ULONGLONG* channels = nullptr) {
        IRB irb{};
        irb.FunctionNumber = REQUEST_ISOCH_QUERY_RESOURCES;
        irb.u.IsochQueryResources.fulSpeed = speed;
        EXPECT_EQ(Send(&irb), STATUS_SUCCESS);
        if (channels != nullptr) *channels = ULONGLONG(irb.u.IsochQueryResources.ChannelsAvailable.QuadPart);
        return irb.u.IsochQueryResources.BytesPerFrameAvailable;
    };
    LocalCsrValues& books = Controller()->LocalCsr;

    // The class driver holds channel 0; a request for it gets the lowest free one.
    ULONG got = 99;
    EXPECT_EQ(channel(0, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(channel(5, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(channel(5, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 2u);
    ULONGLONG channels = 0;
    query(SPEED_FLAGS_400, &channels);
    EXPECT_EQ(channels, (ULONGLONG(books.ChannelsAvailableHi) << 32) | books.ChannelsAvailableLo);
    EXPECT_EQ(channels >> 58, 0x6u);  // channels 0 to 5 in bits 63..58: 0, 1, 2 and 5 taken

    // The query: ((units - 3) / 2^(4 - speed)) * 4 - 15, S3200 at twice S1600's quadlets.
    const ULONG units = books.BandwidthAvailable;
    const ULONG speeds[] = {SPEED_FLAGS_100, SPEED_FLAGS_200, SPEED_FLAGS_400, SPEED_FLAGS_800, SPEED_FLAGS_1600};
    for (ULONG code = 0; code < 5; ++code) EXPECT_EQ(query(speeds[code]), ((units - 3) >> (4 - code)) * 4 - 15) << code;
    EXPECT_EQ(query(SPEED_FLAGS_3200), (units - 3) * 2 * 4 - 15);
    EXPECT_EQ(query(0x03), query(SPEED_FLAGS_100));  // not one flag: S100

    // Handles: not on the list, another child's, beyond what remains, a refused change.
    HANDLE mine = nullptr, theirs = nullptr, huge = nullptr;
    ASSERT_EQ(bandwidth(1000, SPEED_FLAGS_400, &mine), STATUS_SUCCESS);
    EXPECT_EQ(books.BandwidthAvailable, units - 1015);
    ASSERT_EQ(bandwidth(1000, SPEED_FLAGS_400, &theirs, diskChild_), STATUS_SUCCESS);
    const ULONG left = books.BandwidthAvailable;
    EXPECT_EQ(freeBandwidth(reinterpret_cast<HANDLE>(&got)), STATUS_SUCCESS);
    EXPECT_EQ(freeBandwidth(theirs), STATUS_SUCCESS);
    EXPECT_EQ(change(reinterpret_cast<HANDLE>(&got), 100), STATUS_INVALID_HANDLE);
    EXPECT_EQ(change(theirs, 100), STATUS_INVALID_HANDLE);
    EXPECT_EQ(books.BandwidthAvailable, left);
    EXPECT_EQ(bandwidth(8192, SPEED_FLAGS_100, &huge), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(huge, nullptr);
    EXPECT_EQ(bandwidth(0, SPEED_FLAGS_400, &huge), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(change(mine, 8192 * 2), STATUS_INVALID_PARAMETER);  // 32775 units at S400
    EXPECT_EQ(books.BandwidthAvailable, left);                      // the old reservation kept
    EXPECT_EQ(change(mine, 2000), STATUS_SUCCESS);
    EXPECT_EQ(books.BandwidthAvailable, left + 1015 - 2015);
    EXPECT_EQ(freeBandwidth(mine), STATUS_SUCCESS);
    EXPECT_EQ(freeBandwidth(mine), STATUS_SUCCESS);
    EXPECT_EQ(books.BandwidthAvailable, left + 1015);
    EXPECT_EQ(freeBandwidth(theirs, diskChild_), STATUS_SUCCESS);
    EXPECT_EQ(books.BandwidthAvailable, left + 2030);

    // Little left: the query answers 0, never a wrapped number.
    HANDLE most = nullptr;
    ASSERT_EQ(bandwidth(((books.BandwidthAvailable - 3) >> 4) * 4 - 15, SPEED_FLAGS_100, &most), STATUS_SUCCESS);
    EXPECT_LE(books.BandwidthAvailable, 18u);
    EXPECT_EQ(query(SPEED_FLAGS_100), 0u);
    EXPECT_EQ(freeBandwidth(most), STATUS_SUCCESS);

    // A bus reset renews the books: units taken before it are not in the new ones, so freeing that
    // allocation gives nothing back, while one taken after the reset gives its units back.
    HANDLE before = nullptr, after = nullptr;
    ASSERT_EQ(bandwidth(1000, SPEED_FLAGS_400, &before), STATUS_SUCCESS);
    const ULONG generation = books.BooksGeneration;
    sim_->bus.RequestReset(false);
    hk::RunFor(300 * kMs100ns);
    ASSERT_NE(books.BooksGeneration, generation);
    const ULONG renewed = books.BandwidthAvailable;
    ASSERT_EQ(bandwidth(1000, SPEED_FLAGS_400, &after), STATUS_SUCCESS);
    EXPECT_EQ(freeBandwidth(before), STATUS_SUCCESS);
    EXPECT_EQ(books.BandwidthAvailable, renewed - 1015);
    EXPECT_EQ(freeBandwidth(after), STATUS_SUCCESS);
    EXPECT_EQ(books.BandwidthAvailable, renewed);
}

// A resource that synchronises on time starts at the listen's StartTime: the buffers, which ask for
// a time stamp, complete only after that cycle, and still hold whole frames.
TEST_F(ClassIsochTest, AListenAtAStartTime) {
    IRB irb{};
    irb.FunctionNumber = REQUEST_ISOCH_QUERY_CYCLE_TIME;
    ASSERT_EQ(Send(&irb), STATUS_SUCCESS);
    auto cycles = [](ULONG cycleTime) { return (cycleTime >> 25) * 8000 + ((cycleTime >> 12) & 0x1FFF); };
    const ULONG now = cycles(irb.u.IsochQueryCycleTime.CycleTime);
    const ULONG start = now + 4000;  // half a second on
    testclass::StreamConfig config;
    config.resourceFlags = RESOURCE_SYNCH_ON_TIME;
    config.descriptorFlags = DESCRIPTOR_TIME_STAMP_ON_COMPLETION;
    config.startTime = ((start / 8000) % 128) << 25 | (start % 8000) << 12;
    Stream(config, 3);
    ExpectFrames(0, 3);
    // The first buffer started at the start cycle at the earliest: it ended a frame later.
    EXPECT_GE(cycles(results_.completions[0].cycleTime), start + 240);
    EXPECT_LT(cycles(results_.completions[0].cycleTime), start + 8000);
    EXPECT_EQ(testclass::StopStream(&results_), STATUS_SUCCESS);
}

// A bus reset while listening: the buffers the reset cut end with STATUS_BUS_RESET, the stream stays
// and the frames after the reset are whole and in order.
class ClassResetTest : public ClassIsochTest, public testing::WithParamInterface<ULONG> {
protected:
    ClassResetTest() : ClassIsochTest(Seeded(GetParam())) {}
};

TEST_P(ClassResetTest, ABusResetWhileListening) {
    testclass::StreamConfig config;
    Stream(config, 3);
    LONG resets = results_.resets;
    sim_->bus.RequestReset(false);
    LONG seen = Count();
    // Whatever comes back is handed back, until six whole frames follow the reset.
    LONG whole = 0;
    for (LONG f = seen; whole < 6; ++f) {
        ASSERT_TRUE(testclass::WaitCompletions(&results_, f + 1)) << "completion " << f;
        const testclass::Completion& c = results_.completions[f];
        ASSERT_EQ(testclass::Reattach(&results_, c.buffer, 1), STATUS_SUCCESS);
        if (c.status == STATUS_SUCCESS && (whole > 0 || f > seen)) ++whole;
        if (c.status != STATUS_SUCCESS) {
            EXPECT_EQ(c.status, NTSTATUS(0x8000001Du)) << "completion " << f;  // STATUS_BUS_RESET
            whole = 0;
        }
    }
    hk::pnp::Process();
    EXPECT_GT(results_.resets, resets);
    bool cut = false;
    for (LONG f = seen; f < Count(); ++f) cut = cut || results_.completions[f].status != STATUS_SUCCESS;
    EXPECT_TRUE(cut);
    ExpectFrames(Count() - 6, Count());
    EXPECT_EQ(testclass::StopStream(&results_), STATUS_SUCCESS);
    ExpectNoIsochRecords();
}

INSTANTIATE_TEST_SUITE_P(Seeds, ClassResetTest, testing::Values(1u, 7u, 42u, 1234u));

// The camera is unplugged while its class driver listens with buffers attached: the bus reset ends
// them (STATUS_BUS_RESET) and the driver hands them back at once, as a streaming driver does. A
// careful driver stops and frees at removal: every buffer comes back cancelled. A careless one
// leaves its resource: the child's deletion closes it, no callback runs for the buffers still
// attached, and they can be freed. Either way nothing is left and nothing was written where it
// should not be.
struct Removal {
    ULONG seed;
    bool careless;
};
class ClassRemovalTest : public ClassIsochTest, public testing::WithParamInterface<Removal> {
protected:
    ClassRemovalTest() : ClassIsochTest(Seeded(GetParam().seed)) {}
};

TEST_P(ClassRemovalTest, TheCameraGoesWhileBuffersAreAttached) {
    testclass::StreamConfig config;
    config.reattachInCallback = true;
    Stream(config, 3);
    results_.careless = GetParam().careless;
    LONG before = Count();
    sim_->bus.Unplug(camera_);
    Settle();
    EXPECT_EQ(results_.removed, 1);
    EXPECT_EQ(Children().count(kCameraId), 0u);
    EXPECT_EQ(results_.reattachesInFlight, 0);
    EXPECT_EQ(results_.reattachFailures, 0);
    LONG ended = Count();
    LONG cancelled = 0;
    for (LONG f = before; f < ended; ++f) {
        NTSTATUS status = results_.completions[f].status;
        EXPECT_TRUE(status == NTSTATUS(0x8000001Du) || status == STATUS_CANCELLED || status == STATUS_SUCCESS) << f;
        cancelled += status == STATUS_CANCELLED ? 1 : 0;
    }
    if (!GetParam().careless) {
        EXPECT_EQ(ended, results_.attaches);
        EXPECT_GE(cancelled, 1);
    } else {
        EXPECT_LT(ended, results_.attaches);  // buffers were still attached when the child went
        EXPECT_EQ(cancelled, 0);
    }
    hk::RunFor(200 * kMs100ns);
    EXPECT_EQ(Count(), ended);
    testclass::FreeBuffers(&results_);
    ExpectNoIsochRecords();
    EXPECT_EQ(Controller()->IsoRxInUse, 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, ClassRemovalTest,
                         testing::Values(Removal{1, false}, Removal{7, true}, Removal{42, false}, Removal{1234, true}));

// The controller goes while a careless class driver still listens: its buffers come back cancelled
// through their callbacks when the controller is torn down, and the record goes with the child.
TEST_F(ClassIsochTest, TheControllerGoesWhileAClassDriverListens) {
    testclass::StreamConfig config;
    Stream(config, 2);
    results_.careless = true;
    testclass::StopReattaching(&results_);
    LONG before = Count();
    hk::pnp::Unplug(pdo_);
    EXPECT_EQ(Count(), results_.attaches);
    LONG cancelled = 0;
    for (LONG f = before; f < Count(); ++f) {
        NTSTATUS status = results_.completions[f].status;
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << f;
        cancelled += status == STATUS_CANCELLED ? 1 : 0;
    }
    EXPECT_GE(cancelled, 1);
    testclass::FreeBuffers(&results_);
    ExpectNoIsochRecords();
}

}  // namespace

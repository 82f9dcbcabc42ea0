// Stands in for server/capture.cpp in the tests of tests/fakecam.
#include "fake_capture.h"

#include <memory>
#include <stdexcept>

#include "../../server/capture.h"

namespace fakecam {

namespace {

struct Recorder {
    Script script;
    std::vector<Call> calls;
    int device = -1;
    std::string source;
    int live = 0;
};

Recorder& recorder()
{
    static Recorder instance;
    return instance;
}

void record(const char* name)
{
    recorder().calls.push_back(Call{name, std::chrono::steady_clock::now()});
}

[[noreturn]] void throwCv(const char* where)
{
    throw cv::Exception(cv::Error::StsError, "fake camera failure", where, __FILE__, __LINE__);
}

class FakeCapture : public cv::VideoCapture {
public:
    FakeCapture() { ++recorder().live; }
    ~FakeCapture() override
    {
        record("destroy");
        --recorder().live;
    }

    bool open(const cv::String&, int) override { return opened = true; }
    bool open(const cv::String&, int, const std::vector<int>&) override { return opened = true; }
    bool open(int, int) override { return opened = true; }
    bool open(int, int, const std::vector<int>&) override { return opened = true; }
    bool isOpened() const override { return opened; }

    void release() override
    {
        record("release");
        opened = false;
    }

    bool grab() override
    {
        record("grab");
        const Script& script = recorder().script;
        if (script.onGrab)
            script.onGrab();
        switch (script.fault) {
        case Fault::grabFails:
            return false;
        case Fault::grabThrowsCv:
            throwCv("FakeCapture::grab");
        case Fault::grabThrowsStd:
            throw std::runtime_error("fake grab failure");
        default:
            return opened;
        }
    }

    bool retrieve(cv::OutputArray image, int) override
    {
        record("retrieve");
        switch (recorder().script.fault) {
        case Fault::retrieveFails:
            return false;
        case Fault::retrieveEmpty:
            image.release();
            return true;
        case Fault::retrieveThrowsCv:
            throwCv("FakeCapture::retrieve");
        case Fault::retrieveThrowsStd:
            throw std::runtime_error("fake retrieve failure");
        default:
            scriptedFrame().copyTo(image);
            return true;
        }
    }

private:
    bool opened = false;
};

}  // namespace

void reset(const Script& script)
{
    Recorder& state = recorder();
    state.script = script;
    state.calls.clear();
    state.device = -1;
    state.source.clear();
}

std::vector<Call> calls()
{
    return recorder().calls;
}

std::vector<std::string> callNames()
{
    std::vector<std::string> names;
    for (const Call& call : recorder().calls)
        names.push_back(call.name);
    return names;
}

int openedDevice()
{
    return recorder().device;
}

std::string openedSource()
{
    return recorder().source;
}

int liveCaptures()
{
    return recorder().live;
}

cv::Mat scriptedFrame()
{
    const Script& script = recorder().script;
    cv::Mat frame(script.frameSize, CV_8UC3);
    if (script.noisy) {
        cv::RNG generator(12345);
        generator.fill(frame, cv::RNG::UNIFORM, 0, 256);
    } else {
        // A gradient, so a scaled or cropped picture would differ from the frame.
        for (int row = 0; row < frame.rows; ++row)
            for (int column = 0; column < frame.cols; ++column)
                frame.at<cv::Vec3b>(row, column) = cv::Vec3b(static_cast<uchar>(column * 255 / std::max(1, frame.cols - 1)),
                                                             static_cast<uchar>(row * 255 / std::max(1, frame.rows - 1)), 128);
    }
    return frame;
}

}  // namespace fakecam

std::unique_ptr<cv::VideoCapture> openCapture(int device, const std::string& deviceSource)
{
    fakecam::Recorder& state = fakecam::recorder();
    state.device = device;
    state.source = deviceSource;
    fakecam::record("open");
    if (state.script.fault == fakecam::Fault::openThrowsCv)
        fakecam::throwCv("openCapture");
    auto capture = std::make_unique<fakecam::FakeCapture>();
    if (deviceSource.empty())
        capture->open(device, cv::CAP_ANY);
    else
        capture->open(deviceSource, cv::CAP_ANY);
    return capture;
}

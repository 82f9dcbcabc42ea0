#include "lumetra.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "../platform/kernel.h"
#include "../platform/sound.h"
#include "capture.h"

std::unique_ptr<ConfigFile> config;
std::unique_ptr<TCPServer> server;
std::unique_ptr<TCPConnection> conn;
std::string s;
std::stringstream ss1;
int port = 80;
bool createLog = false;
std::unique_ptr<AccessLog> logFile;
bool resize = false;
cv::Size destSize(0, 0);
std::unique_ptr<cv::VideoCapture> inStream;
cv::Mat inImage;
cv::Mat outImage;

namespace {

const char* const defaultConfigFile = "lumetra.conf";
const char* const pictureFile = "last.jpeg";
const std::streamsize transferBlock = 65535;

const char* const responseHeader =
    "HTTP/1.1 202 OK\n"
    "Server: Orvalis 0.1 alpha\n"
    "Connection: close\n"
    "Content-type: image/jpeg\n"
    "Cache-Control: no-store, no-cache, must-revalidate\n"
    "Cache-Control: pre-check=0, post-check=0, max-age=0\n"
    "Content-Transfer-Encoding: none\n"
    "\n";

int number(const std::string& text)
{
    return std::atoi(text.c_str());
}

bool isSwitchOn(const std::string& text)
{
    return text == "1";
}

// Waits are counts from 0 up: a negative one must not become a wait of weeks.
void sleepMs(int milliseconds)
{
    if (milliseconds > 0)
        Sleep(static_cast<DWORD>(milliseconds));
}

// Library failures end a start-up or a request like the server's own: as a text.
template <typename Step>
auto asTextErrors(Step step) -> decltype(step())
{
    try {
        return step();
    } catch (const cv::Exception& error) {
        throw ErrorText("OpenCV: " + error.func + ": " + error.err);
    } catch (const std::exception& error) {
        throw ErrorText(std::string("std::exception: ") + error.what());
    }
}

int startUp(int argc, char** argv)
{
    const char* configPath;
    if (argc == 1) {
        configPath = defaultConfigFile;
    } else if (argc == 2) {
        configPath = argv[1];
    } else {
        std::cerr << "usage: " << (argc > 0 && argv[0] != nullptr ? argv[0] : "") << " [config]\n" << std::flush;
        return 1;
    }

    auto freshConfig = std::make_unique<ConfigFile>(configPath);
    logFile.reset();  // it refers to the path text of the configuration being replaced
    config = std::move(freshConfig);

    port = number(config->get("port"));
    createLog = isSwitchOn(config->get("createLog"));
    if (createLog)
        logFile = std::make_unique<AccessLog>(config->text("log").c_str());
    writeToLog("program started");

    resize = isSwitchOn(config->get("resize"));
    if (resize) {
        const int width = number(config->get("resizeWidth"));
        const int height = number(config->get("resizeHeight"));
        destSize = cv::Size(width, height);
        if (width < 1 || height < 1 || width > maxPictureSide || height > maxPictureSide)
            throw ErrorText("prologue: resizeWidth and resizeHeight must lie in 1..16384");
        outImage = cv::Mat(destSize, CV_8UC3);
    }

    server = std::make_unique<TCPServer>(port);

    ss1.str(std::string());
    ss1.clear();
    ss1 << responseHeader;
    return 0;
}

// Writes the picture beside "last.jpeg" and renames it into place, so the file is always whole.
void savePicture(const cv::Mat& picture)
{
    static const std::string partial = ".last." + std::to_string(GetCurrentProcessId()) + ".jpeg";
    std::error_code error;
    bool inPlace = false;
    try {
        // A failed write leaves the older picture in place; it is then the one sent.
        if (cv::imwrite(partial, picture)) {
            std::filesystem::rename(partial, pictureFile, error);
            inPlace = !error;
        }
    } catch (...) {
        std::filesystem::remove(partial, error);
        throw;
    }
    // Once renamed there is nothing left behind to remove.
    if (!inPlace)
        std::filesystem::remove(partial, error);
}

void serveOneClient()
{
    conn.reset(server->accept());
    if (!conn)
        return;

    const std::string clientAddress = conn->getIPAddr();
    std::cout << "Connection from " << clientAddress << std::endl;
    writeToLog(clientAddress.c_str());

    s = conn->read();

    const std::string header = ss1.str();
    conn->write(header.data(), static_cast<int>(header.size()));

    const int device = number(config->get("device"));
    inStream = openCapture(device, config->get("deviceSource"));

    sleepMs(number(config->get("devicePreTimeout")));

    // No sound configured: nothing to look for on the disk.
    const std::string sound = config->get("sound");
    if (!sound.empty() && file_exists(sound.c_str()))
        PlaySoundA(sound.c_str(), nullptr, SND_FILENAME);

    if (!inStream->grab())
        throw ErrorText("!cvGrabFrame(inStream)");

    sleepMs(number(config->get("devicePostTimeout")));

    if (!inStream->retrieve(inImage) || inImage.empty())
        throw ErrorText("!cvRetrieveFrame()");

    // Frames come top row first, so the scaled copy needs no row-order flag.
    const cv::Mat* picture = &inImage;
    if (resize) {
        cv::resize(inImage, outImage, destSize, 0, 0, cv::INTER_CUBIC);
        picture = &outImage;
    }
    savePicture(*picture);

    std::ifstream pictureStream(pictureFile, std::ios::in | std::ios::binary);
    static char transfer[65536];
    while (pictureStream.good()) {
        pictureStream.read(transfer, transferBlock);
        conn->write(transfer, static_cast<int>(pictureStream.gcount()));
    }

    conn.reset();
    inStream->release();
    inStream.reset();
}

}  // namespace

int prologue(int argc, char** argv)
{
    return asTextErrors([&] { return startUp(argc, argv); });
}

void epilogue()
{
    server.reset();
}

void releaseResources()
{
    server.reset();
    conn.reset();
    if (inStream) {
        try {
            inStream->release();
        } catch (...) {
            // the capture is dropped below whatever its backend reports
        }
        inStream.reset();
    }
}

void writeToLog(const char* message)
{
    if (createLog && logFile)
        logFile->log(message);
}

void labourer()
{
    if (!server)
        return;
    asTextErrors([] { serveOneClient(); });
}

bool awaitClient(int timeoutMs)
{
    return server && server->waitForClient(timeoutMs);
}

bool file_exists(const char* path)
{
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr)
        return false;
    std::fclose(file);
    return true;
}

#include "LogManager.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>

namespace {

// Opened before main runs, so even the earliest entry has somewhere to go; append keeps earlier runs.
std::ofstream g_logStream("log.txt", std::ios::out | std::ios::app);

std::tm localTime(std::time_t seconds) {
    std::tm parts{};
    localtime_r(&seconds, &parts);
    return parts;
}

std::string hexBytes(const unsigned char *bytes, std::size_t count, bool uppercase) {
    std::ostringstream out;
    out << std::hex << std::setfill('0') << (uppercase ? std::uppercase : std::nouppercase);
    for (std::size_t i = 0; i < count; ++i) {
        out << std::setw(2) << static_cast<int>(bytes[i]) << ' ';
    }
    return out.str();
}

}  // namespace

void LogManager::logMessage(const QByteArray &message) {
    const std::tm t = localTime(std::time(nullptr));
    std::ostringstream line;
    line << '[' << (t.tm_year + 1900) << '-' << (t.tm_mon + 1) << '-' << t.tm_mday << ' ' << t.tm_hour << ':'
         << t.tm_min << ':' << t.tm_sec << "] " << message.toStdString();
    if (g_logStream.is_open()) {
        g_logStream << line.str() << std::endl;
    }
    std::cout << line.str() << std::endl;
}

void LogManager::logBytes(const unsigned char *bytes, std::size_t count) {
    using namespace std::chrono;
    // Ticks of 100 ns since 1970, as the runtime's tick clock counts them.
    const auto ticks =
        duration_cast<duration<long long, std::ratio<1, 10000000>>>(system_clock::now().time_since_epoch()).count();
    const std::tm t = localTime(static_cast<std::time_t>(ticks / 10000000));
    const long long milliseconds = (ticks / 10000) % 1000;

    if (g_logStream.is_open()) {
        g_logStream << hexBytes(bytes, count, false) << std::endl;
    }
    std::cout << "[ " << t.tm_hour << ':' << t.tm_min << ':' << t.tm_sec << '.' << milliseconds << " ]"
              << hexBytes(bytes, count, true) << std::endl;
}

void LogManager::consoleLine(const char *text) {
    std::cout << text << std::endl;
}

// Plays the encoder in tests. What it does is chosen by the environment:
//   TAVELO_FAKE_ENCODER      comma-separated rules "MODE" or "MODE@TEXT"; the
//                            first rule whose TEXT occurs in the output path
//                            (the last argument), or that has no TEXT, wins.
//                            Default "ok".
//   TAVELO_FAKE_ENCODER_LOG  a file to which every run appends one line:
//                            its process id and its arguments, tab-separated.
//   TAVELO_FAKE_ENCODER_WROTE  a file that hang and stubborn create once
//                            they have written their partial output.
// Modes:
//   ok        input banner with a 2 s duration, carriage-return progress
//             lines in separate writes, writes the output, exit 0
//   slow      as ok, but takes about 1.5 s
//   source    as ok, taking about 0.5 s, and writes "encoded <input>", so a
//             test can tell which clip an output was made from
//   nooutput  banner, exit 0, but writes nothing
//   fail      banner, some progress, a partial output, exit code 1
//   crash     banner, a partial output, then aborts
//   hang      banner, a partial output, then waits forever
//   stubborn  as hang, and ignores the request to terminate
//   prompt    asks whether to overwrite and reads the answer from standard
//             input; exit 1 when it reads end-of-file
//   utf8      writes a UTF-8 file name and text that looks like markup, with
//             one character split across two writes, then exit 0

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace {

void say(const std::string &text)
{
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void pause(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void writeFile(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string chooseMode(const std::string &output)
{
    const char *rules = std::getenv("TAVELO_FAKE_ENCODER");
    std::string text = rules ? rules : "";
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string rule = text.substr(start, end - start);
        const size_t at = rule.find('@');
        if (!rule.empty()) {
            if (at == std::string::npos)
                return rule;
            if (output.find(rule.substr(at + 1)) != std::string::npos)
                return rule.substr(0, at);
        }
        start = end + 1;
    }
    return "ok";
}

void banner(const std::string &input)
{
    say("ffmpeg version fake Copyright (c) the test suite\n");
    say("Input #0, mpegts, from '" + input + "':\n");
    say("  Duration: 00:00:02.00, start: 1.400000, bitrate: 1500 kb/s\n");
    say("Press [q] to stop, [?] for help\n");
}

// Progress lines end with a carriage return; the last report, like the
// real encoder's, with a line feed.
void progress(double seconds, char end = '\r')
{
    char line[160];
    const int whole = int(seconds);
    const int hundredths = int((seconds - whole) * 100 + 0.5);
    std::snprintf(line, sizeof line,
                  "frame=%5d fps=0.0 q=2.0 size=     256kB time=00:00:%02d.%02d bitrate=1000.0kbits/s speed=1x    %c",
                  int(seconds * 25), whole, hundredths, end);
    say(line);
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    const std::string output = args.empty() ? std::string() : args.back();
    std::string input;
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == "-i")
            input = args[i + 1];
    }

    if (const char *log = std::getenv("TAVELO_FAKE_ENCODER_LOG")) {
        std::ofstream out(log, std::ios::app);
        out << getpid();
        for (const std::string &arg : args)
            out << '\t' << arg;
        out << '\n';
    }

    const std::string mode = chooseMode(output);
    if (mode == "ok" || mode == "slow" || mode == "source") {
        banner(input);
        const int step = mode == "slow" ? 500 : mode == "source" ? 170 : 10;
        for (double t = 0.5; t < 2.0; t += 0.5) {
            progress(t);
            pause(step);
        }
        writeFile(output, mode == "source" ? "encoded " + input : "encoded");
        progress(2.0, '\n');
        say("video:256kB audio:16kB subtitle:0kB other streams:0kB global headers:0kB\n");
        return 0;
    }
    if (mode == "nooutput") {
        banner(input);
        return 0;
    }
    if (mode == "fail") {
        banner(input);
        progress(0.5);
        writeFile(output, "partial");
        say("\n[dnxhd @ 0x55] video parameters incompatible with DNxHD\n");
        say("Conversion failed!\n");
        return 1;
    }
    if (mode == "crash") {
        banner(input);
        writeFile(output, "partial");
        std::abort();
    }
    if (mode == "hang" || mode == "stubborn") {
#ifndef _WIN32
        if (mode == "stubborn")
            std::signal(SIGTERM, SIG_IGN);
#endif
        banner(input);
        writeFile(output, "partial");
        if (const char *wrote = std::getenv("TAVELO_FAKE_ENCODER_WROTE"))
            writeFile(wrote, "");
        progress(0.5);
        for (;;)
            pause(1000);
    }
    if (mode == "prompt") {
        say("File '" + output + "' already exists. Overwrite? [y/N] ");
        std::string answer;
        if (std::getline(std::cin, answer) && !answer.empty() && answer[0] == 'y') {
            writeFile(output, "encoded");
            return 0;
        }
        say("Not overwriting - exiting\n");
        return 1;
    }
    if (mode == "utf8") {
        // "é" is 0xC3 0xA9; its two bytes arrive in separate writes.
        say("Input #0, mpegts, from 'raw/Caf\xc3");
        pause(100);
        say("\xa9/\xd0\xba\xd0\xbb\xd0\xb8\xd0\xbf.MTS':\n");
        say("<b>not bold</b> & <i>not italic</i>\n");
        writeFile(output, "encoded");
        return 0;
    }
    say("fake encoder: unknown mode " + mode + "\n");
    return 2;
}

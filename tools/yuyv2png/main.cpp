// yuyv2png: turns a raw YUYV 4:2:2 frame dumped by hdgrab --dump-raw into a PNG.
#include <cxxopts.hpp>
#include <iostream>

#include "tools/yuyv2png/convert.h"

int main(int argc, char** argv) {
    namespace y2p = hdgrab::yuyv2png;
    y2p::ConvertOptions options;

    cxxopts::Options table(
        "yuyv2png",
        "Turns a raw YUYV 4:2:2 frame (hdgrab --dump-raw) into an RGB PNG (BT.601).\n"
        "Width and height come from a name ending in _<W>x<H>.yuyv422 or from the options;\n"
        "the line stride from the file size. Exit status: 0 done, 1 conversion failed, 2 bad "
        "command line.");
    table.positional_help("FRAME.yuyv422");
    // clang-format off
    table.add_options()
        ("input", "Frame file", cxxopts::value<std::string>())
        ("o,output", "PNG to write (default: the input name with .png)",
         cxxopts::value<std::string>())
        ("width", "Picture width in pixels", cxxopts::value<uint32_t>())
        ("height", "Picture height in lines", cxxopts::value<uint32_t>())
        ("h,help", "Print this help");
    // clang-format on
    table.parse_positional({"input"});

    try {
        const auto result = table.parse(argc, argv);
        if (result.count("help") != 0) {
            std::cout << table.help({""}) << std::endl;
            return y2p::kExitOk;
        }
        if (result.count("input") == 0) {
            std::cerr << "yuyv2png: no frame file given\n" << table.help({""}) << std::endl;
            return y2p::kExitUsage;
        }
        options.input = result["input"].as<std::string>();
        if (result.count("output") != 0) {
            options.output = result["output"].as<std::string>();
        }
        if (result.count("width") != 0) {
            options.width = result["width"].as<uint32_t>();
        }
        if (result.count("height") != 0) {
            options.height = result["height"].as<uint32_t>();
        }
    } catch (const cxxopts::exceptions::exception& e) {
        std::cerr << "yuyv2png: " << e.what() << std::endl;
        return y2p::kExitUsage;
    }
    return y2p::convert(options, std::cout, std::cerr);
}

#pragma once

#include <functional>
#include <string>
#include <string_view>

// A progress report of the package library. Callbacks run on the working thread.
struct ZFCProgress
{
    enum class Stage {
        reading,     // "解析" (not emitted by the library)
        decrypting,  // "解码" reader, after every chunk
        extracting,  // "提取" reader, once at the end of a plug-in
        scanning,    // "扫描" packer, before scanning a plug-in folder
        packing,     // "封包" packer, while storing files
        encrypting,  // "构建" packer, while sealing a plug-in stream
        assembling   // "编译" packer, while writing the output file
    };

    Stage stage = Stage::reading;
    std::string subject;     // plug-in name, or empty
    double fraction = 0.0;   // 0...1; -1 marks an indeterminate amount

    // The label shown in front of the subject.
    static std::string_view rawValue(Stage stage);

    bool operator==(const ZFCProgress&) const = default;
};

using ZFCProgressCallback = std::function<void(const ZFCProgress&)>;

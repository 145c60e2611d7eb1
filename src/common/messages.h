// SPDX-License-Identifier: MIT
// Every fixed text the library prints, in one table. Texts printed "as a line" get "\n" added by
// console_line; the others are printed as they stand and may continue on the same console line.
#pragma once

namespace kestrum::msg {

// Recode pipeline.
inline constexpr const char* kDecodeFailed = "jpg dec failed. ret=%d\n";
inline constexpr const char* kEncodeOk = "encoding jpg successfully!\n\n";
inline constexpr const char* kEncodeFailed = "encoding jpg failed!\n\n";
inline constexpr const char* kInitFailed = "JImageInit() fail!\n\n";
inline constexpr const char* kEncoderFailed = "JImageEncoder() fail!\n\n";
inline constexpr const char* kCannotCreate = "can not create JPEG file!";
inline constexpr const char* kCannotWrite = "fwrite(), can not write jpeg file";
inline constexpr const char* kNoAttributeMemory = "fail to allocate image attribute buffer!";

// The console's own notice after the per-recode message limit (our own wording).
inline constexpr const char* kMessagesSuppressed =
    "Too many messages: further messages of this file are suppressed.\n";

// Marker parser (lines).
inline constexpr const char* kNoJpeg = "This is no JPEG file. Please check file!";
inline constexpr const char* kSecondSoi = "More than one soi 0xffd8!";
inline constexpr const char* kNoApp0Memory = "Can not alloc memory for app0_data";
inline constexpr const char* kJfifVersion = "The JFIF version is no support!";
inline constexpr const char* kApp0Length = "The app0 data num is no right!";
inline constexpr const char* kQuant16Bit =
    "This jpeg picture use 16bit quant table. Not support by hardware!";
inline constexpr const char* kDqtIndex = "The DQT table index is larger than 4!";
inline constexpr const char* kDqtLength = "The DQT table data num is not right!";
inline constexpr const char* kHuffmanTable = "The huffman table is not right!";
inline constexpr const char* kHuffmanIndex = "The huffman tab_index is not right!";
inline constexpr const char* kHuffmanLength = "The huffman table data num is not right!";
inline constexpr const char* kDriLength = "The DRI mark data num is not right.";
inline constexpr const char* kPrecision =
    "The jpeg data precision is no 8bit!\nThe hardware only support 8bit!";
inline constexpr const char* kSecondSof = "There is already one SOF0 mark!";
inline constexpr const char* kFrameZero = "The image_h image_w or num_components is not right.";
inline constexpr const char* kSofLength = "The SOF0 data num is not right!";
inline constexpr const char* kSosLength = "The SOS data num is not right!";
inline constexpr const char* kNotBaseline = "This version is not support!";
inline constexpr const char* kUnsupportedMarker = "Found a not support makr.";
inline constexpr const char* kAppMarker = "Found a app in jpeg header,unread_marker=0x%x\n";

// Frame setup (lines).
inline constexpr const char* kLaterScan = "NOT initial jpeg decoder!";
inline constexpr const char* kSizeRange = "The width or height is out of range!!!\n";
inline constexpr const char* kComponentRange = "The num_components is out of range!";
inline constexpr const char* kSamplingRange = "The h or v samples is not right!";

// Decode driver (printed as they stand, except kNoScan which is a line).
inline constexpr const char* kCannotOpen = "Can not open input source jpeg file. Please check!";
inline constexpr const char* kNoSourceMemory = "Can not alloc memory for source jpeg file.";
inline constexpr const char* kNoScan = "NOT get a start of scan mark!";
inline constexpr const char* kDecodeError = "jpg dec error\n";
inline constexpr const char* kLayout411 = "input jpeg file is ycbcr411 format\n";
inline constexpr const char* kLayout422 = "input jpeg file is ycbcr422 format\n";
inline constexpr const char* kLayout100 = "input jpeg file is ycbcr100 format\n";
inline constexpr const char* kLayout211h = "input jpeg file is ycbcr211h format\n";
inline constexpr const char* kLayout111 = "input jpeg file is ycbcr111 format\n";
inline constexpr const char* kLayout211v = "input jpeg file is ycbcr211v format\n";
inline constexpr const char* kOnly420 = "not support. only support yuv420\n";
inline constexpr const char* kUnrecognised = "format cant recongnized!\n";

// Refusals that replace ending the process (lines, our own wording).
inline constexpr const char* kScanIdMissing = "The scan component id is not in the frame!";
inline constexpr const char* kScanCountRange = "The scan component count is out of range!";
inline constexpr const char* kTooManyBlocks = "The MCU has more than 10 blocks!";
inline constexpr const char* kQuantSelector = "The quant table selector is larger than 3!";
inline constexpr const char* kHuffmanSelector = "The huffman table selector is larger than 3!";
inline constexpr const char* kHuffmanTooMany = "The huffman table has more than 256 codes!";
inline constexpr const char* kHuffmanOversubscribed =
    "The huffman code lengths are over-subscribed!";
inline constexpr const char* kHuffmanDcSymbol = "The DC huffman table has a symbol above 15!";
inline constexpr const char* kSamplingZero = "The h or v samples is zero!";
inline constexpr const char* kNoMcuColumns = "The image has no MCU column!";
inline constexpr const char* kNoMcuRows = "The image has no MCU row!";
inline constexpr const char* kScanIncomplete =
    "The first scan does not hold every frame component!";
inline constexpr const char* kFrameTooLarge = "The image is too large for the decoder buffers!";
inline constexpr const char* kNoFrameMemory = "Can not alloc memory for the decoder buffers!";

// Encoder.
inline constexpr const char* kOk = "ok!!!";

}  // namespace kestrum::msg

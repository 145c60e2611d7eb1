// SPDX-License-Identifier: MIT
// Marker segment parser: DQT, DHT, DRI, SOF0/1/2, SOS, APPn (T.81 B.2, B.2.4).
#pragma once

namespace kestrum {

// Walks marker segments up to a scan header (decoder_status kProgressScanHeader) or the end of
// image (kProgressEndOfImage).
// Reads/Writes: the input stream, flags, frame, tables, scan fields; clears unread_marker.
void parse_markers() noexcept;

// Parses SOF0/SOF1/SOF2 from its length bytes. Writes: image_w/h, num_components, components,
// samp_*.
void parse_frame_header() noexcept;

// Parses SOS from its length bytes. Writes: scan_component_count, scan_components, selectors,
// expected_rst; refuses an identifier absent from the frame.
void parse_scan_header() noexcept;

}  // namespace kestrum

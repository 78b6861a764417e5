#pragma once

#include <cli/render_options.h>
#include <sonark/load/music_info.h>

#include <cstdio>
#include <string>

class CConv2FileFormat;
class CConv2MP3;

// A new converter of the selected MP3 encoder library, with one reference (DeleteRefObject),
// or null with `error` saying why MP3 export is unavailable.
CConv2MP3* NewMp3Converter(std::string* error);

// The encoder settings that `options` ask for, as the export dialog sets them: a preset whole,
// or the default preset changed by the exact settings, then adapted to the encoder (bit rates
// rounded to the version's table, the rate into the version's set, channels after the mode).
// False with `error` when the encoder cannot write them.
bool BuildMp3Format(CConv2MP3& converter, const RenderOptions& options, CConv2FileFormat* format,
                    std::string* error);

// The settings used, one item a line, for --verbose; says where a bit rate asked for was
// rounded.
void PrintMp3Settings(FILE* out, CConv2MP3& converter, const CConv2FileFormat& format,
                      const RenderOptions& options);

// The file information of an output at `path` from the tag options: an absent or empty title
// becomes the file's name without its extension.
void FillMusicInfo(const TagOptions& tags, const std::string& path, TMusicInfo* info);

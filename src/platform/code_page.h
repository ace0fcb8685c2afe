// The process's multi-byte code page: the lead-byte test and tables that the XML document
// scans with, and the character-aware search that splits the host-list reply.
//
// Text is a byte string in the active code page. A "character" is either
//   - two bytes: a lead byte of the active code page followed by a byte other than NUL, or
//   - one byte: every other byte (including a lead byte followed by NUL, or a lead byte
//     that is the last byte of a bounded range).
// The second byte of a double-byte character never matches anything searched for.
// Under a code page without lead bytes (UTF-8 = 65001, 1252, 20127, ...) every byte is a
// character and the helpers are plain byte searches.
//
// Lead-byte ranges, as Windows defines them:
//   949 (Korean, UHC), 936 (GBK), 950 (Big5): 0x81-0xFE
//   932 (Shift_JIS):                          0x81-0x9F, 0xE0-0xFC
//   1361 (Johab):                             0x84-0xD3, 0xD8-0xDE, 0xE0-0xF9
// Every other code page has no lead bytes.
//
// The active code page is taken lazily from DefaultCodePage() on first use, unless
// SetActiveCodePage was called before. Call setlocale before the first use on POSIX.
// The state is process-wide; set it from one thread before others read it.
#pragma once

#include <cstddef>

// The active code page (the default one, on first use).
unsigned int ActiveCodePage();

// Makes codePage the active code page; code pages without a lead-byte table behave as
// single-byte code pages.
void SetActiveCodePage(unsigned int codePage);

// True when byte is a lead byte of the active code page.
bool IsLeadByte(unsigned char byte);

// True when the active code page has lead bytes (is a double-byte code page).
bool ActiveCodePageHasLeadBytes();

// The active code page's lead-byte table: 256 entries, 1 for a lead byte, else 0.
// Never null; all zero for a single-byte code page. Valid until the next SetActiveCodePage.
const unsigned char* LeadByteTable();

// The 256-entry lead-byte table of any code page (all zero when it has none).
const unsigned char* LeadByteTableFor(unsigned int codePage);

// True when codePage has lead bytes (932, 936, 949, 950, 1361).
bool CodePageHasLeadBytes(unsigned int codePage);

// ---- Default detection ----

// The platform's default: on Windows the ANSI code page (GetACP); on POSIX the code page
// of the locale's character set (see CodePageFromCharsetName). Implemented per platform in
// platform/<platform>/code_page_default.cpp.
unsigned int DefaultCodePage();

// Maps a character-set name as nl_langinfo(CODESET) gives it to a code page number.
// Case, '-', '_', '.', ' ' and ':' are ignored. EUC-KR, CP949, UHC -> 949; GBK, GB2312,
// GB18030, EUC-CN -> 936; BIG5, BIG5-HKSCS -> 950; Shift_JIS, SJIS, CP932, Windows-31J ->
// 932; JOHAB -> 1361; UTF-8 -> 65001; ANSI_X3.4-1968 / ASCII, null or empty -> 20127;
// ISO-8859-N -> 28590 + N; CPnnnn / WINDOWS-nnnn -> nnnn; anything else -> 1252.
// Only the double-byte results have lead bytes.
unsigned int CodePageFromCharsetName(const char* name);

// ---- Character-aware helpers (active code page) ----

// First character in [begin, end) whose (first) byte is ch, stepping by characters from
// begin; returns end when there is none. A double-byte character's second byte never
// matches. Use for ASCII ch (a lead byte as ch matches only at a character boundary).
const char* FindChar(const char* begin, const char* end, char ch);

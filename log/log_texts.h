// The fixed texts of Tarvex.log, each as the program writes it in one write, line ends included.
// Whatever reads the log (tools/tarvex-log) matches its lines against these, so a text changed
// here changes for both. The *_FORMAT texts are printf formats: a line begins with their text up
// to the first field.
#pragma once

// The start of a run: the log, the port name, the port.
inline constexpr wchar_t LOG_STARTING[] = L"Starting ...\r\n";
inline constexpr wchar_t LOG_EARLIER_LOG_NOT_RENAMED[] =
    L"The earlier Tarvex.log could not be renamed: this run goes on at its end\r\n";
inline constexpr wchar_t LOG_DEFAULT_PORT[] = L"Default port: ";     // then the port name
inline constexpr wchar_t LOG_CONFIG_READ[] = L"Read Config file: "; // then the port name
inline constexpr wchar_t LOG_CONFIG_UNREADABLE[] = L"Config file refused: it cannot be read";
inline constexpr wchar_t LOG_CONFIG_TOO_LONG[] =
    L"Config file refused: the name is longer than 9 characters";
inline constexpr wchar_t LOG_PORT_NOT_OPENED[] = L"\r\nCannot open COM port";
inline constexpr wchar_t LOG_PORT_OPENED[] = L"COM Opened\r\n";

// A connection attempt that fails: one of these ends it.
inline constexpr wchar_t LOG_PORT_NOT_REOPENED[] = L"\r\nCannot reopen COM port";
inline constexpr wchar_t LOG_TIMEOUTS_NOT_SET[] = L"\r\nCannot Set Timeouts";
inline constexpr wchar_t LOG_STATE_NOT_SET[] = L"\r\nCannot Set State";
inline constexpr wchar_t LOG_NOT_RESPONDING[] = L"\r\nDevice not responding";
inline constexpr char LOG_WRONG_SYNC_FORMAT[] = "\r\nIncorrect baudrate = %2.2Xh";
inline constexpr wchar_t LOG_WRONG_KEYWORD_1[] = L"\r\nAnswer not 0x0B";
inline constexpr wchar_t LOG_WRONG_KEYWORD_2[] = L"\r\nAnswer not 0x02";
inline constexpr wchar_t LOG_WRONG_ECHO[] = L"\r\nIncorrect echo";

// A connection attempt that succeeds: each identification block, then the reader thread.
inline constexpr char LOG_IDENTIFICATION_FORMAT[] = "\r\nblockNumber %d Type = %2X Length = %d data ";
inline constexpr wchar_t LOG_READER_STARTED[] = L"\r\nReader Thread Started";
inline constexpr wchar_t LOG_CONNECTED[] = L"\r\nInitialised OK!\r\n";

// The reader thread: a block that is not taken, and its debug lines (File > Debug).
inline constexpr char LOG_BAD_LENGTH_FORMAT[] = "\r\nBad block length = %2.2Xh";
inline constexpr wchar_t LOG_WRONG_TITLE[] = L"\r\nWrong title!";
inline constexpr wchar_t LOG_LONG_BLOCK[] = L"\r\nLong block: data cut to 199 bytes";
inline constexpr char LOG_REQUEST_FORMAT[] = "\r\nRequest Block %d Parameter = %d vals %x %x %x\r\n";
inline constexpr char LOG_ANSWER_FORMAT[] = "\r\nGetBlock returned block %d blockNumber %d Type %2X\r\n";

// The end of a run, right after whatever the log said last.
inline constexpr wchar_t LOG_SESSION_ENDED[] = L"Session ended";

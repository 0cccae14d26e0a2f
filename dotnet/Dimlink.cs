// Dimlink: exchanges with the dimmable lighting power supply over USB HID or TCP, for .NET
// programs, through the native library libdimlink (dimlink.dll on Windows,
// libdimlink.so.1 on Linux). This one file is the whole binding: build it into a program
// of your own with unsafe code allowed, or reference Dimlink.Net.dll. It uses the base class
// library only, as .NET Framework 4.6.2 and .NET 6 and later both have it.
using System;
using System.Collections.Concurrent;
using System.Collections.Generic;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;

namespace Dimlink
{
    /// <summary>What one exchange came to, as the kestrow and morvish tools' <c>--json</c>
    /// report tells it. Immutable: the byte arrays it gives are copies.</summary>
    public sealed class Result
    {
        private readonly byte[] command, answer, raw;

        internal Result(byte[] command, bool sent, byte[] answer, byte[] raw, string verdict, string message,
                        int status, int? error)
        {
            this.command = command;
            Sent = sent;
            this.answer = answer;
            this.raw = raw;
            Verdict = verdict;
            Message = message;
            Status = status;
            Error = error;
        }

        /// <summary>The command's bytes; null where there was no command (a supply that did
        /// not open).</summary>
        public byte[] Command { get { return Copy(command); } }

        /// <summary>True when the command reached the supply.</summary>
        public bool Sent { get; private set; }

        /// <summary>The answer's bytes, as many as its command code calls for; null without
        /// an answer.</summary>
        public byte[] Answer { get { return Copy(answer); } }

        /// <summary>Every byte of the answer as it came; null without an answer.</summary>
        public byte[] Raw { get { return Copy(raw); } }

        /// <summary>The verdict's key: "carried-out", "knob-in-use", "busy", "not-found", ...</summary>
        public string Verdict { get; private set; }

        /// <summary>The tools' message for this result.</summary>
        public string Message { get; private set; }

        /// <summary>0 carried out, 1 refused, 2 answered with another verdict, 3 no answer.</summary>
        public int Status { get; private set; }

        /// <summary>The system's error number behind a failure; null where there is none.</summary>
        public int? Error { get; private set; }

        /// <summary>True when the supply carried the command out (status 0).</summary>
        public bool Ok { get { return Status == 0; } }

        /// <summary>Gives back this result when it is ok; throws
        /// <see cref="ExchangeException"/> otherwise.</summary>
        public Result Check()
        {
            if (!Ok) throw new ExchangeException(Verdict + ": " + Message, this);
            return this;
        }

        /// <summary>The line the tools print with <c>--json</c> for this exchange, byte for byte
        /// (ASCII only), without its line feed.</summary>
        public string ToJson()
        {
            var json = new StringBuilder(256);
            json.Append("{\"command\":").Append(JsonText.Hex(command));
            json.Append(",\"sent\":").Append(Sent ? "true" : "false");
            json.Append(",\"answer\":").Append(JsonText.Hex(answer));
            json.Append(",\"raw\":").Append(JsonText.Hex(raw));
            json.Append(",\"verdict\":");
            JsonText.AppendString(json, Verdict);
            json.Append(",\"message\":");
            JsonText.AppendString(json, Message);
            json.Append(",\"status\":").Append(Status.ToString(System.Globalization.CultureInfo.InvariantCulture));
            json.Append(",\"error\":").Append(Error.HasValue
                                                  ? Error.Value.ToString(System.Globalization.CultureInfo.InvariantCulture)
                                                  : "null");
            return json.Append('}').ToString();
        }

        /// <summary>The verdict and message.</summary>
        public override string ToString() { return Verdict + ": " + Message; }

        private static byte[] Copy(byte[] bytes) { return bytes == null ? null : (byte[])bytes.Clone(); }
    }

    /// <summary>A USB supply found by <see cref="Supplies.ListUsb"/>.</summary>
    public sealed class SupplyInfo
    {
        internal SupplyInfo(string path, string serial, string name)
        {
            Path = path;
            Serial = serial;
            Name = name;
        }

        /// <summary>The device's path, as <see cref="Supply.OpenUsb"/> takes it.</summary>
        public string Path { get; private set; }

        /// <summary>The serial number; empty where the device gives none.</summary>
        public string Serial { get; private set; }

        /// <summary>The product name; empty where the device gives none.</summary>
        public string Name { get; private set; }

        /// <summary>Path, serial number and name.</summary>
        public override string ToString() { return Path + " " + Serial + " " + Name; }
    }

    /// <summary>What Dimlink throws; <see cref="Result"/> holds the result behind it, where
    /// there is one.</summary>
    public class DimlinkException : Exception
    {
        /// <summary>An exception with this message and result (which may be null).</summary>
        public DimlinkException(string message, Result result = null) : base(message) { Result = result; }

        /// <summary>The result behind the exception, or null.</summary>
        public Result Result { get; private set; }
    }

    /// <summary>A command that does not parse or has a wrong number of bytes; nothing was
    /// sent.</summary>
    public class CommandException : DimlinkException
    {
        /// <summary>An exception with this message and result.</summary>
        public CommandException(string message, Result result = null) : base(message, result) {}
    }

    /// <summary><see cref="Supply.OpenUsb"/> found no supply that matches and could be
    /// opened; the result is what kestrow --json reports, without a command.</summary>
    public class NotFoundException : DimlinkException
    {
        /// <summary>An exception with this message and result.</summary>
        public NotFoundException(string message, Result result = null) : base(message, result) {}
    }

    /// <summary><see cref="Result.Check"/> on a result that is not ok.</summary>
    public class ExchangeException : DimlinkException
    {
        /// <summary>An exception with this message and result.</summary>
        public ExchangeException(string message, Result result) : base(message, result) {}
    }

    /// <summary>The USB supplies present.</summary>
    public static class Supplies
    {
        /// <summary>The USB supplies present, in the order <see cref="Supply.OpenUsb"/> tries
        /// them, as kestrow --list lists them; opens none. Throws
        /// <see cref="DimlinkException"/> when the system's device listing fails.</summary>
        public static IReadOnlyList<SupplyInfo> ListUsb()
        {
            Native.EnsureLoaded();
            IntPtr list;
            int count = Native.dimlink_list_usb(out list);
            try
            {
                if (count < 0)
                {
                    Result failure = Native.LastFailure();
                    throw new DimlinkException("The USB devices could not be listed: " + failure.Message, failure);
                }
                var supplies = new List<SupplyInfo>(count);
                for (IntPtr at = list; at != IntPtr.Zero;)
                {
                    var info = (Native.SupplyInfo)Marshal.PtrToStructure(at, typeof(Native.SupplyInfo));
                    supplies.Add(new SupplyInfo(Utf8.FromNative(info.path), Utf8.FromNative(info.serial),
                                                Utf8.FromNative(info.name)));
                    at = info.next;
                }
                return supplies.AsReadOnly();
            }
            finally
            {
                Native.dimlink_free_list(list);
            }
        }

        /// <summary>The version of the native library loaded, "MAJOR.MINOR.PATCH".</summary>
        public static string LibraryVersion
        {
            get { return Native.EnsureLoaded(); }
        }
    }

    /// <summary>An open supply. Threads may share it: their exchanges take turns, each
    /// getting the answer to its own command; on USB the supply's lock is held for one
    /// exchange at a time, so other programs get their turn between two.</summary>
    public sealed class Supply : IDisposable
    {
        private static readonly TimeSpan DefaultTimeout = TimeSpan.FromSeconds(5);
        private readonly string description;
        private TimeSpan timeout;
        // The native handle, and the calls running on it: it is closed once, when none is
        // running, and no call begins after Dispose.
        private readonly object gate = new object();
        private IntPtr handle;
        private int running;
        private bool disposed;

        private Supply(IntPtr handle, string description, TimeSpan timeout)
        {
            this.handle = handle;
            this.description = description;
            Timeout = timeout;
        }

        /// <summary>Finds and opens a USB supply as kestrow does: the first, in the order of
        /// <see cref="Supplies.ListUsb"/>, that matches <paramref name="serial"/> and
        /// <paramref name="path"/> (null for either means any) and can be opened. Throws
        /// <see cref="NotFoundException"/> when none does.</summary>
        public static Supply OpenUsb(string serial = null, string path = null)
        {
            byte[] serialText = Utf8.ToNative(serial, "serial"), pathText = Utf8.ToNative(path, "path");
            Native.EnsureLoaded();
            var result = Native.NewResult();
            IntPtr handle = Native.dimlink_open_usb(serialText, pathText, ref result);
            string chosen = (serial != null ? " serial " + serial : "") + (path != null ? " path " + path : "");
            return Opened(handle, ref result, "USB supply" + (chosen.Length > 0 ? chosen : " (first found)"), null);
        }

        /// <summary>A supply at a numeric IPv4 or IPv6 address (never a name looked up) and
        /// port, reached as morvish reaches it: each exchange connects, sends, receives and
        /// closes. Throws <see cref="ArgumentException"/> for an address morvish refuses and
        /// <see cref="ArgumentOutOfRangeException"/> for a port outside 1 to 65535 or a time-out
        /// outside 1 ms to 600 s (default 5 s).</summary>
        public static Supply OpenTcp(string address, int port, TimeSpan? timeout = null)
        {
            if (address == null) throw new ArgumentNullException("address");
            byte[] addressText = Utf8.ToNative(address, "address");
            CheckTimeout(timeout ?? DefaultTimeout, "timeout");
            Native.EnsureLoaded();
            var result = Native.NewResult();
            IntPtr handle = Native.dimlink_open_tcp(addressText, port, ref result);
            if (handle == IntPtr.Zero && Native.VerdictOf(ref result) == "bad-command")
            {
                string message = Native.ToResult(null, ref result).Message;
                if (port < 1 || port > 65535) throw new ArgumentOutOfRangeException("port", port, message);
                throw new ArgumentException(message, "address");
            }
            return Opened(handle, ref result, "TCP supply " + address + " port " + port, timeout);
        }

        /// <summary>The bound of each exchange, from the call to its result: the wait for
        /// the supply's turn (and on USB its lock), the connect, the send and the answer.
        /// 1 ms to 600 s; 5 s at first.</summary>
        public TimeSpan Timeout
        {
            get { return timeout; }
            set
            {
                int milliseconds = CheckTimeout(value, "value");
                try
                {
                    if (Native.dimlink_set_timeout(Enter(), milliseconds) != 0)
                        throw new ArgumentOutOfRangeException("value", value, Native.LastFailure().Message);
                    timeout = value;
                }
                finally
                {
                    Leave();
                }
            }
        }

        /// <summary>Sends one command, in the tools' byte syntax ("A1 B2 00 0D 0A": one or two
        /// hex digits a byte, "-1" for FF, blanks between), and receives its answer. Every
        /// answer and failure on the way is a <see cref="Result"/>; throws
        /// <see cref="CommandException"/>, with nothing sent, for a command that does not
        /// parse or has a wrong number of bytes (5 to 64, 63 on USB).</summary>
        public Result Exchange(string command)
        {
            if (command == null) throw new ArgumentNullException("command");
            return Send(ParsedCommand(command));
        }

        /// <summary>Sends the command's bytes (5 to 64, 63 on USB) and receives the answer;
        /// as <see cref="Exchange(string)"/>.</summary>
        public Result Exchange(byte[] command)
        {
            if (command == null) throw new ArgumentNullException("command");
            return Send((byte[])command.Clone());
        }

        /// <summary>Closes the supply once the exchanges running on it have ended; a later
        /// exchange throws <see cref="ObjectDisposedException"/>. Disposing again does
        /// nothing.</summary>
        public void Dispose()
        {
            lock (gate)
            {
                disposed = true;
                while (running > 0) Monitor.Wait(gate);
                Close();
            }
            GC.SuppressFinalize(this);
        }

        /// <summary>Closes a supply its program dropped. Not one that a call is still using, as
        /// at the end of a program whose threads are still exchanging: the system frees it.</summary>
        ~Supply()
        {
            lock (gate)
            {
                if (running == 0) Close();
            }
        }

        /// <summary>How the supply was opened.</summary>
        public override string ToString() { return description + (disposed ? " (closed)" : ""); }

        private void Close()
        {
            if (handle != IntPtr.Zero) Native.dimlink_close(handle);
            handle = IntPtr.Zero;
        }

        private IntPtr Enter()
        {
            lock (gate)
            {
                if (disposed) throw new ObjectDisposedException(description, description + ": the supply is closed");
                ++running;
                return handle;
            }
        }

        private void Leave()
        {
            lock (gate)
            {
                if (--running == 0 && disposed) Monitor.PulseAll(gate);
            }
        }

        private Result Send(byte[] command)
        {
            var result = Native.NewResult();
            IntPtr supply = Enter();
            try
            {
                Native.dimlink_exchange(supply, command, (UIntPtr)command.Length, ref result);
            }
            finally
            {
                Leave();
            }
            // A command refused before sending is no command, as the tools report it.
            if (Native.VerdictOf(ref result) == "bad-command" && result.sent == 0)
            {
                Result refused = Native.ToResult(null, ref result);
                throw new CommandException(refused.Message, refused);
            }
            return Native.ToResult(command, ref result);
        }

        // Programs send the same few commands over and over: each text is parsed once.
        private static readonly ConcurrentDictionary<string, byte[]> parsed = new ConcurrentDictionary<string, byte[]>();

        private static byte[] ParsedCommand(string text)
        {
            byte[] bytes;
            if (parsed.TryGetValue(text, out bytes)) return bytes;
            string unfit = Utf8.Unfit(text);
            if (unfit != null) throw new CommandException("The command \"" + text.Replace("\0", "\\0") + "\" " + unfit + ".");
            var result = Native.NewResult();
            var command = new byte[64];
            UIntPtr length;
            if (Native.dimlink_parse_command(Utf8.ToNative(text, "command"), command, out length, ref result) != 0)
            {
                Result refused = Native.ToResult(null, ref result);
                throw new CommandException(refused.Message, refused);
            }
            Array.Resize(ref command, (int)length);
            if (parsed.Count < 1024) parsed.TryAdd(text, command);
            return command;
        }

        private static int CheckTimeout(TimeSpan timeout, string name)
        {
            if (timeout < TimeSpan.FromMilliseconds(1) || timeout > TimeSpan.FromSeconds(600))
                throw new ArgumentOutOfRangeException(name, timeout, "The time-out is out of range: 1 ms to 600 s.");
            return (int)Math.Ceiling(timeout.TotalMilliseconds);
        }

        private static Supply Opened(IntPtr handle, ref Native.Result result, string description,
                                     TimeSpan? timeout)
        {
            if (handle == IntPtr.Zero)
            {
                Result failed = Native.ToResult(null, ref result);
                string message = failed.Message.Length > 0 ? failed.Message : "The library could not open the supply.";
                if (failed.Verdict == "not-found") throw new NotFoundException(message, failed);
                throw new DimlinkException(message, failed);
            }
            try
            {
                return new Supply(handle, description, timeout ?? DefaultTimeout);
            }
            catch
            {
                Native.dimlink_close(handle);
                throw;
            }
        }
    }

    /// <summary>dimlink.h's declarations and the conversions of what they give.</summary>
    internal static class Native
    {
        // Mono maps this name to libdimlink.so.1 (Dimlink.Net.dll.config); Windows loads dimlink.dll.
        private const string Library = "dimlink";
        private const string WindowsFile = "dimlink.dll", LinuxFile = "libdimlink.so.1";

        [StructLayout(LayoutKind.Sequential)]
        internal unsafe struct Result
        {
            public UIntPtr size;
            public int status;
            public IntPtr verdict;
            public fixed byte message[512];
            public int error;
            public int sent;
            public int answered;
            public fixed byte answer[64];
            public UIntPtr answer_length;
            public fixed byte raw[64];
            public UIntPtr raw_length;
            public fixed byte path[512];
        }

        [StructLayout(LayoutKind.Sequential)]
        internal struct SupplyInfo
        {
            public IntPtr path;
            public IntPtr serial;
            public IntPtr name;
            public IntPtr next;
        }

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr dimlink_version();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int dimlink_parse_command(byte[] text, byte[] command, out UIntPtr length,
                                                         ref Result result);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int dimlink_list_usb(out IntPtr list);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void dimlink_free_list(IntPtr list);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr dimlink_open_usb(byte[] serial, byte[] path, ref Result result);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr dimlink_open_tcp(byte[] address, int port, ref Result result);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int dimlink_set_timeout(IntPtr supply, int milliseconds);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int dimlink_exchange(IntPtr supply, byte[] command, UIntPtr length,
                                                    ref Result result);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int dimlink_last_result(ref Result result);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void dimlink_close(IntPtr supply);

        private static volatile string version;
        private static readonly object loading = new object();

        /// <summary>Loads the library, once, and checks that it is a 1.x with every function;
        /// gives back its version. A library missing or wrong is a DllNotFoundException that
        /// says where it was looked for and how to provide it.</summary>
        internal static string EnsureLoaded()
        {
            if (version != null) return version;
            lock (loading)
            {
                if (version != null) return version;
                string loaded;
                try
                {
                    Marshal.PrelinkAll(typeof(Native));
                    loaded = Marshal.PtrToStringAnsi(dimlink_version()) ?? "";
                }
                catch (Exception error) when (error is DllNotFoundException || error is EntryPointNotFoundException ||
                                               error is BadImageFormatException)
                {
                    throw new DllNotFoundException(NotLoaded(error), error);
                }
                if (!loaded.StartsWith("1.", StringComparison.Ordinal))
                    throw new DllNotFoundException(NotLoaded(null, loaded));
                version = loaded;
                return version;
            }
        }

        private static bool OnWindows
        {
            get { return Environment.OSVersion.Platform == PlatformID.Win32NT; }
        }

        private static string NotLoaded(Exception error, string loadedVersion = null)
        {
            string file = OnWindows ? WindowsFile : LinuxFile;
            var message = new StringBuilder("Dimlink cannot use the native library " + file + ": ");
            if (loadedVersion != null)
                message.Append("the one loaded is version " + loadedVersion + ", and Dimlink needs a 1.x.");
            else if (error is EntryPointNotFoundException)
                message.Append("the one loaded lacks a function, so it is older than 1.0 (" + error.Message + ").");
            else if (error is BadImageFormatException || (OnWindows && !Environment.Is64BitProcess))
                message.Append((Environment.Is64BitProcess ? "it is not a library for this 64-bit process"
                                                           : "this process is 32-bit and dimlink.dll is built for x64 " +
                                                             "(build the program for x64)") + " (" + error.Message + ").");
            else
                message.Append("it could not be loaded (" + error.Message + ").");
            if (OnWindows)
                message.Append(" It was looked for in the program's folder (" + AppDomain.CurrentDomain.BaseDirectory +
                               "), in the package's runtimes\\win-x64\\native folder (.NET 6 and later), in the " +
                               "system's folders and in the folders of PATH. Add the Dimlink NuGet package to the " +
                               "program, or put dimlink.dll from the dimlink zip beside the program.");
            else
                message.Append(" It was looked for beside Dimlink.Net.dll (" +
                               Path.GetDirectoryName(typeof(Native).Assembly.Location) + ") and through the system's " +
                               "library search (LD_LIBRARY_PATH, then /etc/ld.so.cache). Install the libdimlink1 " +
                               "package, or put libdimlink.so.1 beside Dimlink.Net.dll.");
            return message.ToString();
        }

        internal static unsafe Result NewResult()
        {
            return new Result { size = (UIntPtr)sizeof(Result) };
        }

        /// <summary>What the calling thread's last failed call came to.</summary>
        internal static Dimlink.Result LastFailure()
        {
            var result = NewResult();
            dimlink_last_result(ref result);
            return ToResult(null, ref result);
        }

        // The verdicts are the library's static texts: each is read once.
        private static readonly ConcurrentDictionary<IntPtr, string> verdicts = new ConcurrentDictionary<IntPtr, string>();

        internal static string VerdictOf(ref Result result)
        {
            if (result.verdict == IntPtr.Zero) return "";
            string verdict;
            if (!verdicts.TryGetValue(result.verdict, out verdict))
            {
                verdict = Utf8.FromNative(result.verdict);
                verdicts.TryAdd(result.verdict, verdict);
            }
            return verdict;
        }

        internal static unsafe Dimlink.Result ToResult(byte[] command, ref Result result)
        {
            bool answered = result.answered != 0;
            byte[] answer = null, raw = null;
            string message;
            fixed (Result* r = &result)
            {
                if (answered)
                {
                    answer = Bytes(r->answer, result.answer_length, 64);
                    raw = Bytes(r->raw, result.raw_length, 64);
                }
                message = Utf8.FromNative((IntPtr)r->message, 512);
            }
            return new Dimlink.Result(command, result.sent != 0, answer, raw, VerdictOf(ref result), message,
                                      result.status, result.error != 0 ? (int?)result.error : null);
        }

        private static unsafe byte[] Bytes(byte* from, UIntPtr length, int most)
        {
            var bytes = new byte[Math.Min((int)(ulong)length, most)];
            Marshal.Copy((IntPtr)from, bytes, 0, bytes.Length);
            return bytes;
        }
    }

    /// <summary>Texts to and from the library, which speaks UTF-8, and the tools' JSON texts.</summary>
    internal static class Utf8
    {
        private static readonly UTF8Encoding Strict = new UTF8Encoding(false, true);

        /// <summary>Why the library cannot take the text, or null when it can.</summary>
        internal static string Unfit(string text)
        {
            if (text.IndexOf('\0') >= 0) return "holds a NUL character";
            try
            {
                Strict.GetByteCount(text);
                return null;
            }
            catch (EncoderFallbackException)
            {
                return "holds a lone surrogate";
            }
        }

        /// <summary>The text NUL-terminated for the library; null stays null.</summary>
        internal static byte[] ToNative(string text, string name)
        {
            if (text == null) return null;
            string unfit = Unfit(text);
            if (unfit != null) throw new ArgumentException("The " + name + " " + unfit + ".", name);
            var bytes = new byte[Strict.GetByteCount(text) + 1];
            Strict.GetBytes(text, 0, text.Length, bytes, 0);
            return bytes;
        }

        /// <summary>A NUL-terminated text of at most most bytes, as the tools read UTF-8: each
        /// byte that does not begin a valid, shortest form reads as U+FFFD.</summary>
        internal static unsafe string FromNative(IntPtr text, int most = int.MaxValue)
        {
            if (text == IntPtr.Zero) return "";
            byte* bytes = (byte*)text;
            int length = 0;
            while (length < most && bytes[length] != 0) ++length;
            var decoded = new StringBuilder(length);
            for (int at = 0; at < length;)
            {
                int lead = bytes[at];
                int count = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                                            : lead >= 0xF0 && lead < 0xF5 ? 4 : 0;
                int c = count == 1 ? lead : count == 2 ? lead & 0x1F : count == 3 ? lead & 0x0F : lead & 0x07;
                bool valid = count != 0 && at + count <= length;
                for (int k = 1; valid && k < count; ++k)
                {
                    valid = (bytes[at + k] & 0xC0) == 0x80;
                    c = (c << 6) | (bytes[at + k] & 0x3F);
                }
                bool shortest = count < 3 || (count == 3 && c >= 0x800) || (count == 4 && c >= 0x10000);
                if (!valid || !shortest || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
                {
                    decoded.Append('\uFFFD');
                    ++at;
                    continue;
                }
                decoded.Append(char.ConvertFromUtf32(c));
                at += count;
            }
            return decoded.ToString();
        }
    }

    /// <summary>JSON as the tools write it: ASCII only.</summary>
    internal static class JsonText
    {
        private const string Digits = "0123456789ABCDEF";

        /// <summary>Bytes as a JSON string of upper-case hex pairs between blanks; null as null.</summary>
        internal static string Hex(byte[] bytes)
        {
            if (bytes == null) return "null";
            var text = new char[bytes.Length == 0 ? 2 : bytes.Length * 3 + 1];
            text[0] = '"';
            for (int k = 0; k < bytes.Length; ++k)
            {
                text[k * 3 + 1] = Digits[bytes[k] >> 4];
                text[k * 3 + 2] = Digits[bytes[k] & 0xF];
                text[k * 3 + 3] = k + 1 < bytes.Length ? ' ' : '"';
            }
            text[text.Length - 1] = '"';
            return new string(text);
        }

        /// <summary>The text quoted, with every character outside printable ASCII but the line
        /// feed as \uXXXX in lower-case hex (surrogate pairs above U+FFFF).</summary>
        internal static void AppendString(StringBuilder json, string text)
        {
            json.Append('"');
            foreach (char c in text)
            {
                if (c == '"' || c == '\\')
                    json.Append('\\').Append(c);
                else if (c == '\n')
                    json.Append("\\n");
                else if (c >= 0x20 && c < 0x7F)
                    json.Append(c);
                else
                    json.Append("\\u").Append(((int)c).ToString("x4", System.Globalization.CultureInfo.InvariantCulture));
            }
            json.Append('"');
        }
    }
}

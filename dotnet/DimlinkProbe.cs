// A program of the binding's users, for the tests: it drives Dimlink as told and prints
// what came back in plain lines, with its own hex and base64 of every text, so that the
// tests compare each field with the tools' --json independently of Result.ToJson().
//   DimlinkProbe exchange    jobs on standard input, one a line:
//                            tcp ADDRESS PORT COMMAND | usb SERIAL|- PATH|- COMMAND
//   DimlinkProbe list        the USB supplies
//   DimlinkProbe refusals ADDRESS PORT    arguments and commands the binding refuses
//   DimlinkProbe threads ADDRESS PORT     8 threads on one supply until it is disposed
//   DimlinkProbe layout      the native result's field offsets, the assemblies referenced
using System;
using System.Linq;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using Dimlink;

static class DimlinkProbe
{
    static string Hex(byte[] bytes)
    {
        return bytes == null ? "-" : BitConverter.ToString(bytes).Replace('-', ' ');
    }

    static string Text(string text) { return Convert.ToBase64String(Encoding.UTF8.GetBytes(text)); }

    // command|sent|answer|raw|verdict|status|error|ok|message(base64), then the ToJson line.
    static void Print(Result r)
    {
        Console.WriteLine(string.Join("|", Hex(r.Command), r.Sent ? "1" : "0", Hex(r.Answer), Hex(r.Raw), r.Verdict,
                                      r.Status, r.Error.HasValue ? r.Error.ToString() : "-", r.Ok ? "1" : "0",
                                      Text(r.Message)));
        Console.WriteLine(r.ToJson());
    }

    static void PrintException(Exception e)
    {
        Console.WriteLine("exception|" + e.GetType().FullName + "|" + Text(e.Message));
        var failure = e as DimlinkException;
        if (failure != null && failure.Result != null) Print(failure.Result);
    }

    static void Exchange()
    {
        string line;
        while ((line = Console.ReadLine()) != null)
        {
            string[] job = line.Split(new[] {' '}, 4);
            try
            {
                using (Supply supply = job[0] == "tcp" ? Supply.OpenTcp(job[1], int.Parse(job[2]))
                                                       : Supply.OpenUsb(Any(job[1]), Any(job[2])))
                {
                    Result result = supply.Exchange(job[3]);
                    Print(result);
                    try
                    {
                        if (result.Check() != result) Console.WriteLine("Check() gave another result");
                    }
                    catch (ExchangeException e)
                    {
                        if (e.Result != result || result.Ok) Console.WriteLine("Check() threw for another result");
                    }
                }
            }
            catch (DimlinkException e)
            {
                PrintException(e);
            }
            Console.WriteLine("end");
        }
    }

    static string Any(string text) { return text == "-" ? null : text; }

    static void Refusals(string address, int port)
    {
        var cases = new[] {
            Tuple.Create<string, Action>("text null", () => Open(address, port).Exchange((string)null)),
            Tuple.Create<string, Action>("bytes null", () => Open(address, port).Exchange((byte[])null)),
            Tuple.Create<string, Action>("bad byte", () => Open(address, port).Exchange("A1 B2 zz 0D 0A")),
            Tuple.Create<string, Action>("NUL in text", () => Open(address, port).Exchange("A1 B2 00 0D 0A\0FF")),
            Tuple.Create<string, Action>("4 bytes", () => Open(address, port).Exchange(new byte[] {0xA1, 0xB2, 0, 0x0D})),
            Tuple.Create<string, Action>("65 bytes", () => Open(address, port).Exchange(new byte[65])),
            Tuple.Create<string, Action>("name", () => Supply.OpenTcp("localhost", port)),
            Tuple.Create<string, Action>("address", () => Supply.OpenTcp("1.2.3", port)),
            Tuple.Create<string, Action>("address null", () => Supply.OpenTcp(null, port)),
            Tuple.Create<string, Action>("port 0", () => Supply.OpenTcp(address, 0)),
            Tuple.Create<string, Action>("port 65536", () => Supply.OpenTcp(address, 65536)),
            Tuple.Create<string, Action>("timeout 0", () => Supply.OpenTcp(address, port, TimeSpan.Zero)),
            Tuple.Create<string, Action>("timeout 600.001 s",
                                         () => Supply.OpenTcp(address, port, TimeSpan.FromMilliseconds(600001))),
            Tuple.Create<string, Action>("set timeout -1 ms",
                                         () => Open(address, port).Timeout = TimeSpan.FromMilliseconds(-1)),
            Tuple.Create<string, Action>("serial with NUL", () => Supply.OpenUsb("A\0B")),
            Tuple.Create<string, Action>("USB absent", () => Supply.OpenUsb("absent")),
            Tuple.Create<string, Action>("after Dispose", () => {
                Supply supply = Open(address, port);
                supply.Dispose();
                supply.Dispose();
                supply.Exchange("A1 B2 00 0D 0A");
            }),
        };
        foreach (var c in cases)
        {
            Console.Write(c.Item1 + "|");
            try
            {
                c.Item2();
                Console.WriteLine("no exception");
            }
            catch (Exception e)
            {
                PrintException(e);
            }
        }
    }

    static Supply Open(string address, int port) { return Supply.OpenTcp(address, port); }

    // Each thread sends its own first byte, which the supply echoes, until the supply is
    // disposed under it; prints each thread's count and how it ended.
    static void Threads(string address, int port)
    {
        Supply supply = Supply.OpenTcp(address, port);
        var counts = new int[8];
        var ends = new string[8];
        var threads = Enumerable.Range(0, 8).Select(k => new Thread(() => {
            var command = new byte[] {(byte)k, 0xB2, 0x00, 0x0D, 0x0A};
            try
            {
                for (;;)
                {
                    Result result = supply.Exchange(command);
                    if (!result.Ok || result.Answer[0] != k)
                    {
                        ends[k] = "wrong answer " + result.ToJson();
                        return;
                    }
                    ++counts[k];
                }
            }
            catch (Exception e)
            {
                ends[k] = e.GetType().FullName;
            }
        })).ToList();
        threads.ForEach(t => t.Start());
        Thread.Sleep(300);
        supply.Dispose();
        threads.ForEach(t => t.Join());
        for (int k = 0; k < 8; ++k) Console.WriteLine(counts[k] + " " + ends[k]);
    }

    static void Layout()
    {
        Type native = typeof(Supply).Assembly.GetType("Dimlink.Native+Result", true);
        foreach (var field in native.GetFields())
            Console.WriteLine(field.Name + " " + Marshal.OffsetOf(native, field.Name));
        Console.WriteLine("sizeof " + Marshal.SizeOf(native));
        foreach (var reference in typeof(Supply).Assembly.GetReferencedAssemblies())
            Console.WriteLine("references " + reference.Name + " " + reference.Version);
    }

    static int Main(string[] args)
    {
        Console.OutputEncoding = new UTF8Encoding(false);
        try
        {
            switch (args[0])
            {
            case "exchange": Exchange(); break;
            case "list":
                foreach (SupplyInfo info in Supplies.ListUsb())
                    Console.WriteLine(Text(info.Path) + "|" + Text(info.Serial) + "|" + Text(info.Name));
                break;
            case "refusals": Refusals(args[1], int.Parse(args[2])); break;
            case "threads": Threads(args[1], int.Parse(args[2])); break;
            case "layout": Layout(); break;
            case "version": Console.WriteLine(Supplies.LibraryVersion); break;
            default: return 2;
            }
        }
        catch (DllNotFoundException e)
        {
            Console.Error.WriteLine(e.Message);
            return 3;
        }
        return 0;
    }
}

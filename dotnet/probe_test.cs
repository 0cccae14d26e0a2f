// A program of the binding's users that the tests drive: it prints what Dimlink gave in
// plain lines, with its own hex and base64 of every text, so that the tests compare each
// field with the tools' --json independently of Result.ToJson().
//   probe exchange                jobs on standard input, one a line:
//                                 tcp ADDRESS PORT COMMAND | usb SERIAL|- PATH|- COMMAND
//   probe list | version | layout the USB supplies; the library's version; the native
//                                 result's field offsets and the assemblies referenced
//   probe refusals ADDRESS PORT   arguments and commands the binding refuses
//   probe threads ADDRESS PORT    8 threads on one supply until it is disposed
using System;
using System.Linq;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using Dimlink;

static class Probe
{
    static string Hex(byte[] bytes) { return bytes == null ? "-" : BitConverter.ToString(bytes).Replace('-', ' '); }

    static string Text(string text) { return Convert.ToBase64String(Encoding.UTF8.GetBytes(text)); }

    // command|sent|answer|raw|verdict|status|error|ok|Check() threw for it|message, then ToJson().
    static void Print(Result r)
    {
        bool threw = false;
        try { r.Check(); } catch (ExchangeException e) { threw = e.Result == r; }
        Console.WriteLine(string.Join("|", Hex(r.Command), r.Sent ? 1 : 0, Hex(r.Answer), Hex(r.Raw), r.Verdict, r.Status,
                                      r.Error.HasValue ? r.Error.ToString() : "-", r.Ok ? 1 : 0, threw ? 1 : 0,
                                      Text(r.Message)));
        Console.WriteLine(r.ToJson());
    }

    static void Run(Action action)
    {
        try
        {
            action();
        }
        catch (Exception e) when (!(e is DllNotFoundException))
        {
            Console.WriteLine("exception|" + e.GetType().FullName + "|" + Text(e.Message));
            var failure = e as DimlinkException;
            if (failure != null && failure.Result != null) Print(failure.Result);
        }
    }

    static string Any(string text) { return text == "-" ? null : text; }

    static void Exchange()
    {
        for (string line; (line = Console.ReadLine()) != null; Console.WriteLine("end"))
        {
            string[] job = line.Split(new[] {' '}, 4);
            Run(() => {
                using (Supply supply = job[0] == "tcp" ? Supply.OpenTcp(job[1], int.Parse(job[2]))
                                                       : Supply.OpenUsb(Any(job[1]), Any(job[2])))
                    Print(supply.Exchange(job[3]));
            });
        }
    }

    static void Refusals(string address, int port)
    {
        Func<Supply> open = () => Supply.OpenTcp(address, port);
        var cases = new Action[] {
            () => open().Exchange((string)null), () => open().Exchange("A1 B2 zz 0D 0A"),
            () => open().Exchange("A1 B2 00 0D 0A\0FF"), () => open().Exchange(new byte[65]),
            () => Supply.OpenTcp("1.2.3", port), () => Supply.OpenTcp(address, 65536),
            () => Supply.OpenTcp(address, port, TimeSpan.Zero), () => open().Timeout = TimeSpan.FromSeconds(600.001),
            () => { Supply supply = open(); supply.Dispose(); supply.Dispose(); supply.Exchange("A1 B2 00 0D 0A"); },
        };
        foreach (Action c in cases) Run(c);
    }

    // Each thread sends its own first byte, which the supply echoes, until the supply is
    // disposed under it; prints each thread's count and how it ended.
    static void Threads(string address, int port)
    {
        Supply supply = Supply.OpenTcp(address, port);
        var ends = new string[8];
        var threads = Enumerable.Range(0, 8).Select(k => new Thread(() => {
            int count = 0;
            try
            {
                for (Result r; (r = supply.Exchange(new byte[] {(byte)k, 0xB2, 0, 0x0D, 0x0A})).Ok && r.Answer[0] == k;)
                    ++count;
                ends[k] = count + " wrong answer";
            }
            catch (Exception e)
            {
                ends[k] = count + " " + e.GetType().FullName;
            }
        })).ToList();
        threads.ForEach(t => t.Start());
        Thread.Sleep(300);
        supply.Dispose();
        threads.ForEach(t => t.Join());
        Console.WriteLine(string.Join("\n", ends));
    }

    static void Layout()
    {
        Type native = typeof(Supply).Assembly.GetType("Dimlink.Native+Result", true);
        foreach (var field in native.GetFields()) Console.WriteLine(field.Name + " " + Marshal.OffsetOf(native, field.Name));
        Console.WriteLine("sizeof " + Marshal.SizeOf(native));
        foreach (var reference in typeof(Supply).Assembly.GetReferencedAssemblies())
            Console.WriteLine("references " + reference.Name);
    }

    static int Main(string[] args)
    {
        Console.OutputEncoding = new UTF8Encoding(false);
        try
        {
            if (args[0] == "exchange") Exchange();
            if (args[0] == "list")
                foreach (SupplyInfo info in Supplies.ListUsb())
                    Console.WriteLine(Text(info.Path) + "|" + Text(info.Serial) + "|" + Text(info.Name));
            if (args[0] == "version") Console.WriteLine(Supplies.LibraryVersion);
            if (args[0] == "layout") Layout();
            if (args[0] == "refusals") Refusals(args[1], int.Parse(args[2]));
            if (args[0] == "threads") Threads(args[1], int.Parse(args[2]));
        }
        catch (DllNotFoundException e)
        {
            Console.Error.WriteLine(e.Message);
            return 3;
        }
        return 0;
    }
}

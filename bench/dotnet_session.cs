// Exchanges through the .NET binding in one long-running process, against a supply opened
// once, as a .NET program keeps it: each round runs the floor and the library from C
// through the runner, then COUNT exchanges through one Supply, so that all three wait on
// the machine alike. Prints the medians, in ms per exchange: floor library dotnet.
// Usage: dotnet_session RUNNER COUNT ROUNDS tcp ADDRESS PORT | usb -- FLOOR... -- LIBRARY...
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.Linq;
using Dimlink;

static class DotnetSession
{
    static double RunC(string runner, IEnumerable<string> argv)
    {
        var start = new ProcessStartInfo(runner, "1 " + string.Join(" ", argv)) {
            UseShellExecute = false, RedirectStandardOutput = true
        };
        using (Process process = Process.Start(start))
        {
            string microseconds = process.StandardOutput.ReadToEnd().Split()[0];
            process.WaitForExit();
            return double.Parse(microseconds, CultureInfo.InvariantCulture) / 1000;
        }
    }

    static double Median(List<double> values)
    {
        values.Sort();
        int middle = values.Count / 2;
        return values.Count % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
    }

    static int Main(string[] args)
    {
        string runner = args[0];
        int count = int.Parse(args[1]), rounds = int.Parse(args[2]);
        int first = Array.IndexOf(args, "--"), second = Array.LastIndexOf(args, "--");
        string[] target = args.Skip(3).Take(first - 3).ToArray();
        string[] floor = args.Skip(first + 1).Take(second - first - 1).ToArray(), library = args.Skip(second + 1).ToArray();
        var times = new[] {new List<double>(), new List<double>(), new List<double>()};
        using (Supply supply = target[0] == "tcp" ? Supply.OpenTcp(target[1], int.Parse(target[2])) : Supply.OpenUsb())
        {
            for (int k = 0; k < count; ++k) supply.Exchange("A1 B2 00 0D 0A").Check(); // warms the JIT
            for (int round = 0; round < rounds; ++round)
            {
                times[0].Add(RunC(runner, floor));
                times[1].Add(RunC(runner, library));
                var clock = Stopwatch.StartNew();
                for (int k = 0; k < count; ++k) supply.Exchange("A1 B2 00 0D 0A").Check();
                times[2].Add(clock.Elapsed.TotalMilliseconds);
            }
        }
        Console.WriteLine(string.Join(" ", times.Select(t => (Median(t) / count).ToString(CultureInfo.InvariantCulture))));
        return 0;
    }
}

#ifndef COMMANDLINE_H
#define COMMANDLINE_H

class CliOptions;
class TerminalOutput;

// The program without its window: `NuboTransmission send ...` and `NuboTransmission receive ...`
// run on a QCoreApplication, so they work where there is no display at all, with the working
// folder, config.ini and instance lock the window uses.
class CommandLine
{
public:
    // Runs the command named by argv[1]; returns the exit status.
    static int run(int argc, char *argv[]);

private:
    static int send(const CliOptions &options, TerminalOutput &out);
    static int receive(const CliOptions &options, TerminalOutput &out);
};

#endif // COMMANDLINE_H

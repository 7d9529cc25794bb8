// Loads an rpcd ucode plugin as rpcd does and prints, as JSON, what its method answers:
// ucode -L STANDINS call.uc PLUGIN OBJECT METHOD
const plugin = loadfile(ARGV[0])();
print(sprintf('%J\n', plugin[ARGV[1]][ARGV[2]].call({ args: {} })));

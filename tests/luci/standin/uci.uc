// Stand-in for the uci module in tests: the configurations are the JSON file named by
// PELMAR_TEST_UCI, { config: { section: { option: value } } }.
import { readfile } from 'fs';

export function cursor() {
	const all = json(readfile(getenv('PELMAR_TEST_UCI')));
	return { get: (config, section, option) => all[config]?.[section]?.[option] };
}

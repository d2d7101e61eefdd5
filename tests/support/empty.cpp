// Shared test helpers are added beside this file.

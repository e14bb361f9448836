pytest_plugins = ["server_fixtures"]

pytest_plugins = ["servers.fixtures"]

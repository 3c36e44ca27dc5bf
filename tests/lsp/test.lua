-- Neovim's built-in client asks vantry-lsp what a user's keys would ask: it
-- opens a program of the test library, puts the cursor on names and asks for
-- definition, references and hover there, then document and workspace
-- symbols. The answers go to $VANTRY_OUT as JSON for lsp_test.py to compare
-- with vantry-find's; any failure ends Neovim with a non-zero status.

local function fail(message)
  io.stderr:write('test.lua: ' .. message .. '\n')
  vim.cmd('cquit 1')
end

local ok, err = pcall(function()
  vim.cmd('edit ' .. vim.fn.fnameescape(os.getenv('VANTRY_FILE')))
  local buffer = vim.api.nvim_get_current_buf()
  local client_id = vim.lsp.start_client({
    name = 'vantry',
    cmd = { os.getenv('VANTRY_LSP') },
    root_dir = vim.fn.getcwd(),
    init_options = { root = os.getenv('VANTRY_ROOT') },
  })
  if not client_id then error('the client did not start') end
  vim.lsp.buf_attach_client(buffer, client_id)
  local client = vim.lsp.get_client_by_id(client_id)
  if not vim.wait(20000, function() return client.initialized end, 50) then
    error('the server did not initialize')
  end

  local function ask(method, params)
    local answer, request_error = client.request_sync(method, params, 20000, buffer)
    if not answer then error(method .. ': ' .. tostring(request_error)) end
    if answer.err then error(method .. ': ' .. vim.inspect(answer.err)) end
    return answer.result == nil and vim.NIL or answer.result
  end

  -- Places as a user puts the cursor: line from 1, the byte column from 0
  -- of a name found on the line (after non-ASCII text on line 6).
  local places = { { 6, 'Sort' }, { 6, 'MaxInt' }, { 7, 'IntToStr' }, { 4, 'TStringList' } }
  local answers = { places = {} }
  for _, place in ipairs(places) do
    local line = vim.api.nvim_buf_get_lines(buffer, place[1] - 1, place[1], true)[1]
    local col = line:find(place[2], 1, true) - 1
    vim.api.nvim_win_set_cursor(0, { place[1], col })
    local params = vim.lsp.util.make_position_params()
    local row = { line = place[1], col = col }
    row.definition = ask('textDocument/definition', params)
    params.context = { includeDeclaration = true }
    row.references = ask('textDocument/references', params)
    params.context = nil
    row.hover = ask('textDocument/hover', params)
    table.insert(answers.places, row)
  end
  answers.documentSymbol = ask('textDocument/documentSymbol', { textDocument = vim.lsp.util.make_text_document_params() })
  answers.workspaceSymbol = ask('workspace/symbol', { query = 'Sort' })

  local file = assert(io.open(os.getenv('VANTRY_OUT'), 'w'))
  file:write(vim.fn.json_encode(answers))
  file:close()
  client.stop()
  vim.wait(5000, function() return client.is_stopped() end, 50)
end)
if not ok then fail(tostring(err)) end
vim.cmd('qall!')

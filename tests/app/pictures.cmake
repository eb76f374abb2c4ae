# Pictures of the tabs at chosen sizes and languages, for looking at.
